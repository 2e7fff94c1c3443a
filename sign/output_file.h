// Writing the result file of a file action so that it is never seen half-written.
//
// A regular file or a new name: the bytes go to a new temporary file in the target's
// folder; every write is checked (a short write, for example on a full disk, is an error),
// the data is flushed to the device, and only then is the temporary file renamed over the
// target; then the folder is flushed, so that the new name lasts (at once, or once for a
// batch: FolderFlushScope). When anything fails the temporary file is removed and an
// existing target is left exactly as it was. The replaced file is a new file (a new inode:
// hard links to the old one keep the old content); a symbolic link is followed and the
// file it leads to is replaced, the link stays. Temporary names are
// ".<name>.lumo<pid>-<random>.tmp" beside the target, created exclusively, so they never
// take the place of any existing file.
//
// A character device, FIFO or socket (POSIX) is not replaced: it is opened and written in
// place, every write checked, but only at Commit: the bytes are held until then, so that a
// call that fails on the way (a document that breaks late, a signature that fails at a
// later child) leaves nothing there. Other special files (block devices) are refused.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/types.h"

namespace Lumo::Sign {

// The output file could not be created (also: its folder is missing, or it could not be
// put in place of an existing file). Message: Cannot create file "<full name>". <system text>
class EFCreateError : public Lumo::Base::ELumoException {
 public:
  using ELumoException::ELumoException;
};

// The bytes could not be written completely or flushed.
// Message: Cannot write file "<full name>". <system text>
class EWriteError : public Lumo::Base::ELumoException {
 public:
  using ELumoException::ELumoException;
};

// A result file written piece by piece. The constructor creates the temporary file
// (EFCreateError), Write appends to it (small pieces are gathered up to 64 KB and written
// together, so a failed write raises EWriteError from Write or from Commit), Commit
// flushes it and puts it in place of the target. Destroyed without a Commit (a failure
// on the way), it removes the temporary file: nothing of the new content is then visible
// under the file name.
class OutputFile {
 public:
  explicit OutputFile(const Lumo::Base::AnsiString& fileName);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(std::string_view bytes);
  void Commit();

 private:
  void Discard() noexcept;
  void WriteOut(std::string_view bytes);
  void WriteHeld();
  void OpenInPlace();  // POSIX special files
  bool HandToGroup();
  static constexpr size_t kGathered = 64 * 1024;
  // For a temporary file, small pieces gathered up to kGathered bytes before they are
  // written; what a target written in place (POSIX) gets at Commit.
  Lumo::Base::ByteString held_;
  Lumo::Base::AnsiString fileName_;  // as given, for messages
  Lumo::Base::AnsiString target_;    // what the temporary file is renamed to (links followed)
  Lumo::Base::AnsiString folder_;    // the target's folder
  Lumo::Base::AnsiString temp_;      // empty when written in place
#ifdef _WIN32
  void* handle_;  // HANDLE
#else
  int fd_ = -1;
#endif
  bool placed_ = false;
};

// A batch of result files: while a scope is alive (in any thread), a result file put in
// place does not flush its folder at once; each folder is flushed once when the last
// scope ends. On a disk that flush is a journal commit of its own, as costly as writing a
// small file. Every file is still flushed before it is renamed, so a result is never seen
// half-written; what a crash before the end of the scope may undo is the renaming of files
// placed in it, which then read as they were before (no file, or the old content).
class FolderFlushScope {
 public:
  FolderFlushScope();
  ~FolderFlushScope();  // flushes the folders noted (best effort, as an immediate flush)
  FolderFlushScope(const FolderFlushScope&) = delete;
  FolderFlushScope& operator=(const FolderFlushScope&) = delete;
};

// Group commit for a batch: the result files that the threads joined to a group commit
// (GroupCommit::Member) are written and closed, then handed to the group's own thread,
// which makes a whole group of them durable at once (Linux: one syncfs of each output
// folder's file system, which flushes the file system's dirty data and the device's
// cache; elsewhere an fsync of each file), renames them into place and flushes each
// folder once. The guarantee of a single result file holds for each: it is never seen
// half-written, and once its final name is visible its content is on disk; only the
// renaming waits for the rest of its group. A group ends after kGroupFiles files or
// kGroupWait after its first one, so a slow input holds nobody's result back for longer.
// A file that cannot be made durable or renamed is removed (its temporary file) and
// reported to onFailure, from the group's thread; a batch counts a file as done only
// once the group has ended without reporting it. Commit blocks while kMaxHanded files
// wait, so that a slow disk holds back the workers and not an unbounded heap of files.
// Calls that join no group (a single file, the library's own calls) commit as above.
class GroupCommit {
 public:
  using FailureReport =
      std::function<void(const Lumo::Base::AnsiString& fileName, const std::string& message)>;
  static constexpr size_t kGroupFiles = 256;
  static constexpr std::chrono::milliseconds kGroupWait{100};
  static constexpr size_t kMaxHanded = 4 * kGroupFiles;

  explicit GroupCommit(FailureReport onFailure, size_t groupFiles = kGroupFiles,
                       std::chrono::milliseconds groupWait = kGroupWait);
  ~GroupCommit();  // commits every file handed over and waits for it (Finish)
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  // Commits what is handed over and waits until it is placed or reported; later files
  // are still taken. Safe to call more than once.
  void Finish();

  // While alive, the result files this thread commits go to the group.
  class Member {
   public:
    explicit Member(GroupCommit& group);
    ~Member();
    Member(const Member&) = delete;
    Member& operator=(const Member&) = delete;

   private:
    GroupCommit* previous_;
  };

  struct State;  // the group's thread and what waits for it (output_file.cpp)

 private:
  friend class OutputFile;
  std::unique_ptr<State> state_;
};

// Writes the pieces, one after the other, as the whole content of the file (created or
// replaced). Raises EFCreateError or EWriteError; on failure nothing of the new content is
// visible under fileName.
void WriteOutputFile(const Lumo::Base::AnsiString& fileName,
                     std::initializer_list<std::string_view> pieces);

inline void WriteOutputFile(const Lumo::Base::AnsiString& fileName, std::string_view bytes) {
  WriteOutputFile(fileName, {bytes});
}

// For a process that is about to end on a signal: removes every temporary file that is
// being written at this moment and keeps new ones from being made or renamed (callers
// block). Call it from an ordinary thread (not a signal handler), then end the process.
void AbandonTemporaryFiles() noexcept;

// The file name made absolute against the current folder, as error messages show it.
Lumo::Base::AnsiString ExpandFileName(const Lumo::Base::AnsiString& fileName);

// The system's text for an error number (errno on POSIX, GetLastError on Windows).
std::string SystemErrorText(int error);

}  // namespace Lumo::Sign
