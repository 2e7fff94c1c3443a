// Result files, the part both systems share: names, the list of temporary files, gathering
// small pieces, the group a thread joined. The system calls are in output_file_posix.cpp
// and output_file_win.cpp (output_file_os.h is what stands between).
#include "sign/output_file.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "sign/message.h"
#include "sign/output_file_os.h"

namespace Lumo::Sign {

using Lumo::Base::AnsiString;

namespace Os {

std::string CreateErrorText(const AnsiString& fileName, int error) {
  return "Cannot create file \"" + InMessage(ExpandFileName(fileName)) + "\". " +
         SystemErrorText(error);
}

std::string WriteErrorText(const AnsiString& fileName, int error) {
  return "Cannot write file \"" + InMessage(ExpandFileName(fileName)) + "\". " +
         SystemErrorText(error);
}

[[noreturn]] void RaiseCreateError(const AnsiString& fileName, int error) {
  throw EFCreateError(CreateErrorText(fileName, error));
}

[[noreturn]] void RaiseWriteError(const AnsiString& fileName, int error) {
  throw EWriteError(WriteErrorText(fileName, error));
}

namespace {
// The group commit the calling thread has joined, if any.
thread_local GroupCommit* t_group = nullptr;
}  // namespace

GroupCommit* JoinedGroup() { return t_group; }

void SplitFileName(const AnsiString& fileName, AnsiString& folder, AnsiString& base) {
  size_t cut = fileName.find_last_of(kFolderSeparators);
  if (cut == AnsiString::npos) {
    folder.clear();
    base = fileName;
  } else {
    folder = fileName.substr(0, cut + 1);
    base = fileName.substr(cut + 1);
  }
}

AnsiString TemporaryName(const AnsiString& folder, const AnsiString& base, unsigned attempt) {
  static std::atomic<uint64_t> counter{0};
  uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  // Asked once: a name need not be unique by itself, as the file is made only where no
  // file of that name exists and another name is tried where one does.
  static const unsigned long pid = ProcessId();
  char tag[64];
  std::snprintf(tag, sizeof tag, ".lumo%lx-%llx%x.tmp", pid,
                static_cast<unsigned long long>((t * 0x9E3779B97F4A7C15ull) ^ n), attempt);
  // Keep the name well inside the usual 255-byte limit of one path component.
  AnsiString shortBase = base.size() > 160 ? base.substr(0, 160) : base;
  return folder + "." + shortBase + tag;
}

std::mutex& TemporaryLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: threads may still use it at exit
  return *lock;
}

std::vector<AnsiString>& TemporaryNames() {
  static auto* names = new std::vector<AnsiString>;
  return *names;
}

void Unlist(const AnsiString& name) {
  auto& names = TemporaryNames();
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) {
      names[i] = std::move(names.back());
      names.pop_back();
      return;
    }
  }
}

std::atomic<bool> g_abandoned{false};

}  // namespace Os

void AbandonTemporaryFiles() noexcept {
  Os::TemporaryLock().lock();  // kept: nothing new is listed or unlisted until the process ends
  Os::g_abandoned.store(true);
  for (const AnsiString& name : Os::TemporaryNames()) Os::RemoveFile(name);
}

GroupCommit::Member::Member(GroupCommit& group) : previous_(Os::t_group) { Os::t_group = &group; }
GroupCommit::Member::~Member() { Os::t_group = previous_; }

void OutputFile::Write(std::string_view bytes) {
  if (temp_.empty()) {  // written in place (POSIX special files): held until Commit
    held_ += bytes;
    return;
  }
  // Small pieces (a declaration, then a small document) go out in one write: a batch of
  // small files pays per system call.
  if (held_.size() + bytes.size() <= kGathered) {
    held_ += bytes;
    return;
  }
  WriteHeld();
  if (bytes.size() < kGathered) {
    held_ += bytes;
  } else {
    WriteOut(bytes);
  }
}

void OutputFile::WriteHeld() {
  if (held_.empty()) return;
  WriteOut(held_);
  held_.clear();
}

void WriteOutputFile(const AnsiString& fileName, std::initializer_list<std::string_view> pieces) {
  OutputFile file(fileName);
  for (std::string_view piece : pieces) file.Write(piece);
  file.Commit();
}

}  // namespace Lumo::Sign
