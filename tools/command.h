// dezsign's sub-commands register themselves here; each lives in its own file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Lumo::Dom {
class Node;
}

namespace Lumo::Tool {

// Exit codes shared by all commands; a run ended by SIGINT, SIGTERM or SIGHUP exits with
// 128 + the signal's number.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// check-signature and verify: the document is refused (its signature does not hold, it
// shows unsigned content, a child is a duplicate, the signer is not trusted).
inline constexpr int kExitRefused = 3;

struct Command {
  const char* name;     // "check", "canon", "root", ...
  const char* usage;    // one or more lines shown by --help, each starting with "dezsign "
  const char* summary;  // one line
  int (*run)(const std::vector<std::string>& args);  // args after the command name
  int order;                                         // position in --help
  const char* help = nullptr;  // what "dezsign NAME --help" shows; null: the usage
};

void RegisterCommand(const Command& command);

// A command that ends on its own terms (the spool finishes the files it has in hand) takes
// SIGINT, SIGTERM and SIGHUP: the handler is called on dezsign's signal thread and returns
// true when it took the signal, false to let the run end at once as it otherwise does.
void SetSignalHandler(bool (*handler)(int signal));
const std::vector<Command>& Commands();

struct CommandRegistrar {
  explicit CommandRegistrar(const Command& command) { RegisterCommand(command); }
};

// A mistake in the command line: reported with a pointer to --help, exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An input that cannot be read; the message names it.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Writes bytes to standard output exactly (binary mode on Windows), every write checked;
// throws std::runtime_error "cannot write standard output: <reason>".
void WriteStdout(std::string_view bytes);
// Reads a whole file or, for "-", standard input; throws InputError
// ("<name>: is a directory", "<name>: cannot open: <reason>", ...).
std::string ReadInput(const std::string& path);
// Opens the input as ReadInput would and lets it go: the same messages, without the bytes.
void RequireReadableInput(const std::string& path);
// Throws InputError "<name>: is a directory" for a folder given as an input.
void RequireNotDirectory(const std::string& path);
// The document of a file or, for "-", of standard input: its root element (null for a
// document without one). The messages of ReadInput, then the parser's.
Lumo::Dom::Node LoadInputDocument(const std::string& path);

// The folder a result file goes to, made with its missing parents when `parents` is set
// (--parents); otherwise a missing folder is left to the writer, which refuses it.
// Throws std::runtime_error when the folder cannot be made.
void MakeOutputFolder(const std::string& outputFile, bool parents);

// A failure as the user reads it: "<name>: <message> (status 0x...)". The name is shown
// escaped and left out when empty; the status only when it says more than the generic
// 0x8000FFFF (or 0); a parse error's source line is cut to a window around its column,
// control characters escaped; line breaks as on the terminal, none at the end.
std::string FailureText(const std::string& name, const std::string& message, int32_t status);

}  // namespace Lumo::Tool
