// The file-system steps of the folder spool (Linux): listing, flushing and moving entries
// without ever replacing a file. Every failure is a MachineError: the machine, not the
// document, cannot go on.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace Lumo::Tool {

// The machine cannot go on (a folder not writable, a full disk, a flush that failed).
struct MachineError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A name as messages show it.
std::string Shown(const std::string& name);
std::string Path(const std::string& folder, const std::string& name);
// "<what> \"<path>\": <system text>".
[[noreturn]] void RaiseMachine(const std::string& what, const std::string& path, int error);

bool Exists(const std::string& path);
// The names in a folder, but "." and ".."; a folder that cannot be read is a machine fault.
std::vector<std::string> ListFolder(const std::string& folder);
// A folder's entries made lasting (after renames into or out of it).
void FlushFolder(const std::string& folder);

// Renames without ever replacing a file. Exists: `to` is there; Gone: `from` is not (another
// spool was first); other errors are machine faults. File systems without RENAME_NOREPLACE
// get a hard link and an unlink, which is as safe (link never replaces).
enum class Move { Done, Exists, Gone };
Move MoveNoReplace(const std::string& from, const std::string& to);

// Creates the folder and its parents; UsageError where it cannot be made.
void MakeFolder(const std::string& folder);
// The file system a folder is on (0 when it cannot be told).
dev_t DeviceOf(const std::string& folder);

}  // namespace Lumo::Tool
