// dezsign's sub-commands register themselves here; each lives in its own file.
#pragma once

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

}  // namespace DezsignTool
