// Internal to output_file*.cpp: what the shared part (output_file.cpp) gives the two
// system halves (output_file_posix.cpp, output_file_win.cpp) and what each half gives back,
// as SQLite's os_unix.c and os_win.c sit behind one os.h.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/types.h"
#include "sign/output_file.h"

namespace Lumo::Sign::Os {

// --- Given by output_file.cpp -----------------------------------------------------------

std::string CreateErrorText(const Lumo::Base::AnsiString& fileName, int error);
std::string WriteErrorText(const Lumo::Base::AnsiString& fileName, int error);
[[noreturn]] void RaiseCreateError(const Lumo::Base::AnsiString& fileName, int error);
[[noreturn]] void RaiseWriteError(const Lumo::Base::AnsiString& fileName, int error);

// The group commit the calling thread has joined (GroupCommit::Member), or nullptr.
GroupCommit* JoinedGroup();

// Folder part of a file name including its last separator ("" for a bare name), and the rest.
void SplitFileName(const Lumo::Base::AnsiString& fileName, Lumo::Base::AnsiString& folder,
                   Lumo::Base::AnsiString& base);
// A fresh name for the temporary file, in the target's folder, hidden on POSIX.
Lumo::Base::AnsiString TemporaryName(const Lumo::Base::AnsiString& folder,
                                     const Lumo::Base::AnsiString& base, unsigned attempt);

// The temporary files being written, so that a process ended by a signal can remove
// them. The list is kept under the lock. On POSIX the files are made and renamed outside
// it, so that workers writing results at once do not wait on each other's file system
// calls: a name is listed before its file is made and unlisted only after the file was
// renamed or removed, so every temporary file that exists is listed.
std::mutex& TemporaryLock();
std::vector<Lumo::Base::AnsiString>& TemporaryNames();
void Unlist(const Lumo::Base::AnsiString& name);
// Set, with the lock taken for good, once the process is ending on a signal.
extern std::atomic<bool> g_abandoned;

// --- Given by each system half ------------------------------------------------------------

// The characters that end a folder in a file name ("/"; "\\/:" on Windows).
extern const char* const kFolderSeparators;
// The process's id, as temporary names carry it.
unsigned long ProcessId();
void RemoveFile(const Lumo::Base::AnsiString& name) noexcept;

}  // namespace Lumo::Sign::Os
