// dezsign's sub-commands register themselves here; each lives in its own file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace DezsignTool {

// Exit codes shared by all commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Command {
  const char* name;     // "check", "canon", "root", ...
  const char* usage;    // one or more lines shown by --help, each starting with "dezsign "
  const char* summary;  // one line
  int (*run)(const std::vector<std::string>& args);  // args after the command name
  int order;            // position in --help
};

void RegisterCommand(const Command& command);
const std::vector<Command>& Commands();

struct CommandRegistrar {
  explicit CommandRegistrar(const Command& command) { RegisterCommand(command); }
};

// Writes bytes to stdout exactly (binary mode on Windows).
void WriteStdout(const std::string& bytes);
// Reads a whole file or, for "-", standard input; throws std::runtime_error.
std::string ReadInput(const std::string& path);

// Batches: how many workers serve `items` inputs when `requested` were asked for (0: one
// per core), and running work on that many threads, the calling one included, until all
// have returned. Each work call takes inputs until none is left.
unsigned BatchWorkers(unsigned requested, size_t items);
void RunOnWorkers(unsigned workers, const std::function<void()>& work);

}  // namespace DezsignTool
