// Result files on POSIX: open, write, fsync, rename and the folder's fsync; special files
// written in place; the group commit's thread (syncfs on Linux).
#ifndef _WIN32

#include <cassert>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sign/output_file.h"
#include "sign/output_file_os.h"

namespace Lumo::Sign {

using Lumo::Base::AnsiString;
using namespace Os;

const char* const Os::kFolderSeparators = "/";

unsigned long Os::ProcessId() { return static_cast<unsigned long>(getpid()); }

void Os::RemoveFile(const AnsiString& name) noexcept { ::unlink(name.c_str()); }

namespace {

// strerror_r comes in two forms (XSI returns int, GNU returns the text).
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }

// A writer that finds the process ending waits for its end: the lock is never given back.
void WaitIfAbandoned() {
  if (!g_abandoned.load()) return;
  TemporaryLock().lock();
  TemporaryLock().unlock();
}

}  // namespace

std::string SystemErrorText(int error) {
  char buffer[256] = {0};
  return StrerrorResult(strerror_r(error, buffer, sizeof buffer), buffer);
}

AnsiString ExpandFileName(const AnsiString& fileName) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(std::filesystem::path(fileName), ec);
  if (ec) return fileName;
  return full.lexically_normal().string();
}

namespace {

// Makes the names in a folder durable (best effort: some file systems refuse it).
void FlushFolder(const AnsiString& folder) noexcept {
  int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
}

// The folders whose flush waits for the end of the FolderFlushScopes alive.
struct FlushedFolders {
  std::mutex lock;
  int scopes = 0;
  std::set<AnsiString> folders;
};

FlushedFolders& Later() {
  static auto* later = new FlushedFolders;  // never destroyed: threads may still use it at exit
  return *later;
}

// The name with its symbolic links followed to the file they lead to (which need not
// exist yet); a relative link is read against the folder of the link.
AnsiString FollowLinks(const AnsiString& fileName) {
  AnsiString name = fileName;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return name;
    std::vector<char> buffer(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = ::readlink(name.c_str(), buffer.data(), buffer.size());
    if (n < 0) RaiseCreateError(fileName, errno);
    AnsiString link(buffer.data(), static_cast<size_t>(n));
    if (link.empty() || link[0] != '/') {
      AnsiString folder, base;
      SplitFileName(name, folder, base);
      link = folder + link;
    }
    name = std::move(link);
  }
  RaiseCreateError(fileName, ELOOP);
}

// A socket cannot be opened as a file: it is connected to.
int ConnectSocket(const AnsiString& fileName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fileName.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, fileName.c_str(), fileName.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

OutputFile::OutputFile(const AnsiString& fileName) : fileName_(fileName) {
  AnsiString base;
  SplitFileName(fileName, folder_, base);
  if (base.empty()) RaiseCreateError(fileName, EISDIR);

  // What the name leads to: a name that is no link is looked up once.
  struct stat existing {};
  bool exists = ::lstat(fileName.c_str(), &existing) == 0;
  const bool link = exists && S_ISLNK(existing.st_mode);
  if (link) exists = ::stat(fileName.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) RaiseCreateError(fileName, EISDIR);
  if (exists &&
      (S_ISCHR(existing.st_mode) || S_ISFIFO(existing.st_mode) || S_ISSOCK(existing.st_mode))) {
    OpenInPlace();
    return;
  }
  if (exists && !S_ISREG(existing.st_mode)) RaiseCreateError(fileName, ENOTSUP);

  target_ = link ? FollowLinks(fileName) : fileName;
  SplitFileName(target_, folder_, base);
  for (unsigned attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    AnsiString name = TemporaryName(folder_, base, attempt);
    {
      std::lock_guard<std::mutex> lock(TemporaryLock());
      TemporaryNames().push_back(name);
    }
    // 0666 and the process's umask, as a newly created output file would get.
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    const int error = errno;
    if (fd >= 0 && g_abandoned.load()) {
      // Perhaps made after the list was cleared: removed here, as the process ends.
      ::close(fd);
      ::unlink(name.c_str());
      WaitIfAbandoned();
      RaiseCreateError(fileName, EINTR);
    }
    if (fd >= 0) {
      fd_ = fd;
      temp_ = std::move(name);
      break;
    }
    {
      std::lock_guard<std::mutex> lock(TemporaryLock());
      Unlist(name);
    }
    if (error != EEXIST && error != EINTR) RaiseCreateError(fileName, error);
  }
  if (fd_ < 0) RaiseCreateError(fileName, EEXIST);
  // A replaced file keeps its permission bits (best effort).
  if (exists) (void)::fchmod(fd_, existing.st_mode & 07777);
}

void OutputFile::OpenInPlace() {
  int fd;
  do {
    fd = ::open(fileName_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ENXIO) fd = ConnectSocket(fileName_);
  if (fd < 0) RaiseCreateError(fileName_, errno);
  fd_ = fd;
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!placed_ && !temp_.empty()) {
    ::unlink(temp_.c_str());
    std::lock_guard<std::mutex> lock(TemporaryLock());
    Unlist(temp_);
  }
  temp_.clear();
}

void OutputFile::WriteOut(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    size_t chunk = left > (size_t{1} << 30) ? (size_t{1} << 30) : left;
    ssize_t written = ::write(fd_, p, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      Discard();
      RaiseWriteError(fileName_, error);
    }
    if (written == 0) {  // no progress: treat as a full disk
      Discard();
      RaiseWriteError(fileName_, ENOSPC);
    }
    p += written;
    left -= static_cast<size_t>(written);
  }
}

void OutputFile::Commit() {
  auto fail = [&](bool create, int error) {
    Discard();
    if (create) RaiseCreateError(fileName_, error);
    RaiseWriteError(fileName_, error);
  };
  if (temp_.empty()) {  // written in place: the bytes are out once the descriptor closes cleanly
    WriteOut(held_);
    Lumo::Base::ByteString().swap(held_);
    int fd = fd_;
    fd_ = -1;
    placed_ = true;
    if (::close(fd) != 0 && errno != EINTR) fail(false, errno);
    return;
  }
  WriteHeld();
  if (HandToGroup()) return;
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) fail(false, errno);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) fail(false, errno);
  WaitIfAbandoned();  // a result is not placed once the process is ending
  if (::rename(temp_.c_str(), target_.c_str()) != 0) fail(true, errno);
  placed_ = true;
  {
    std::lock_guard<std::mutex> lock(TemporaryLock());
    Unlist(temp_);
  }

  // Make the rename itself durable, now or at the end of the batch.
  {
    FlushedFolders& later = Later();
    std::lock_guard<std::mutex> lock(later.lock);
    if (later.scopes > 0) {
      later.folders.insert(folder_);
      return;
    }
  }
  FlushFolder(folder_);
}

FolderFlushScope::FolderFlushScope() {
  FlushedFolders& later = Later();
  std::lock_guard<std::mutex> lock(later.lock);
  ++later.scopes;
}

FolderFlushScope::~FolderFlushScope() {
  std::set<AnsiString> folders;
  {
    FlushedFolders& later = Later();
    std::lock_guard<std::mutex> lock(later.lock);
    assert(later.scopes > 0);
    if (--later.scopes == 0) folders.swap(later.folders);
  }
  for (const AnsiString& folder : folders) FlushFolder(folder);
}

// The group's thread and the files handed to it. The folders' descriptors are opened at
// the first file handed for them and held until the group ends: a flush through a
// descriptor reports the write errors that came after it was opened.
struct GroupCommit::State {
  struct Handed {
    AnsiString temp, target, fileName;
    int folder;  // descriptor of the target's folder, -1 when it could not be opened
    AnsiString folderName;
  };

  FailureReport onFailure;
  size_t groupFiles;
  std::chrono::milliseconds groupWait;
  std::mutex lock;
  std::condition_variable wake;  // the group's thread: files handed, or an end asked for
  std::condition_variable room;  // Hand: a group committed
  std::condition_variable idle;  // Finish: nothing handed is left
  std::vector<Handed> pending;
  std::chrono::steady_clock::time_point firstAt;
  size_t inFlight = 0;
  bool finishing = false;
  bool stop = false;
  std::map<AnsiString, int> folders;
  std::thread thread;

  void Hand(Handed h);
  void Run();
  void CommitFiles(std::vector<Handed>& files);
};

void GroupCommit::State::Hand(Handed h) {
  std::unique_lock<std::mutex> l(lock);
  room.wait(l, [&] { return pending.size() + inFlight < 4 * groupFiles; });
  auto at = folders.find(h.folderName);
  if (at == folders.end()) {
    int dir = ::open(h.folderName.empty() ? "." : h.folderName.c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    at = folders.emplace(h.folderName, dir).first;
  }
  h.folder = at->second;
  if (pending.empty()) firstAt = std::chrono::steady_clock::now();
  pending.push_back(std::move(h));
  if (pending.size() == 1 || pending.size() >= groupFiles) wake.notify_one();
}

void GroupCommit::State::Run() {
  std::unique_lock<std::mutex> l(lock);
  for (;;) {
    if (pending.empty()) {
      idle.notify_all();
      if (stop) return;
      wake.wait(l);
      continue;
    }
    if (pending.size() < groupFiles && !finishing && !stop &&
        std::chrono::steady_clock::now() < firstAt + groupWait) {
      wake.wait_until(l, firstAt + groupWait);
      continue;
    }
    std::vector<Handed> files;
    files.swap(pending);
    inFlight = files.size();
    l.unlock();
    CommitFiles(files);
    l.lock();
    inFlight = 0;
    room.notify_all();
  }
}

namespace {

// Flushes one file by name (where its file system cannot be flushed as a whole); 0 or the
// error, with the same tolerance as a single result file's flush.
int FlushFileByName(const AnsiString& name) {
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS ? errno : 0;
  ::close(fd);
  return error;
}

}  // namespace

void GroupCommit::State::CommitFiles(std::vector<Handed>& files) {
  // 1. Every file's content durable. One syncfs writes out the file system's dirty data
  // and flushes the device once, where an fsync per file would pay a journal commit and
  // a device flush each (bench/README.md has the figures).
  std::map<int, int> flushError;  // folder descriptor -> error of its syncfs
#ifdef __linux__
  for (const Handed& h : files) {
    if (h.folder < 0 || flushError.count(h.folder)) continue;
    flushError[h.folder] = ::syncfs(h.folder) == 0 ? 0 : errno;
  }
#endif
  // 2. Renamed into place, or removed and reported.
  std::vector<std::pair<AnsiString, std::string> > failures;
  for (Handed& h : files) {
    auto flushed = flushError.find(h.folder);
    int error = flushed != flushError.end() ? flushed->second : FlushFileByName(h.temp);
    bool placed = false;
    if (error == 0) {
      WaitIfAbandoned();  // a result is not placed once the process is ending
      placed = ::rename(h.temp.c_str(), h.target.c_str()) == 0;
      if (!placed) failures.emplace_back(h.fileName, CreateErrorText(h.fileName, errno));
    } else {
      failures.emplace_back(h.fileName, WriteErrorText(h.fileName, error));
    }
    if (!placed) ::unlink(h.temp.c_str());
    std::lock_guard<std::mutex> tl(TemporaryLock());
    Unlist(h.temp);
  }
  // 3. The new names durable: each folder once (best effort, as for a single file).
  std::set<AnsiString> flushedByName;
  std::set<int> flushedFolders;
  for (const Handed& h : files) {
    if (h.folder >= 0) {
      if (flushedFolders.insert(h.folder).second) (void)::fsync(h.folder);
    } else if (flushedByName.insert(h.folderName).second) {
      FlushFolder(h.folderName);
    }
  }
  for (const auto& [fileName, message] : failures) {
    if (onFailure) onFailure(fileName, message);
  }
}

GroupCommit::GroupCommit(FailureReport onFailure, size_t groupFiles,
                         std::chrono::milliseconds groupWait)
    : state_(std::make_unique<State>()) {
  state_->onFailure = std::move(onFailure);
  state_->groupFiles = groupFiles > 0 ? groupFiles : 1;
  state_->groupWait = groupWait;
  state_->thread = std::thread([s = state_.get()] { s->Run(); });
}

void GroupCommit::Finish() {
  std::unique_lock<std::mutex> l(state_->lock);
  state_->finishing = true;
  state_->wake.notify_one();
  state_->idle.wait(l, [&] { return state_->pending.empty() && state_->inFlight == 0; });
  state_->finishing = false;
}

GroupCommit::~GroupCommit() {
  Finish();
  {
    std::lock_guard<std::mutex> l(state_->lock);
    state_->stop = true;
    state_->wake.notify_one();
  }
  state_->thread.join();
  for (const auto& [name, dir] : state_->folders) {
    if (dir >= 0) ::close(dir);
  }
}

// A temporary file of a thread that joined a group: closed and handed over; placed_ is
// set, as the group now owns the temporary file (it stays listed until the group renames
// or removes it).
bool OutputFile::HandToGroup() {
  GroupCommit* group = Os::JoinedGroup();
  if (group == nullptr || temp_.empty()) return false;
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) {
    int error = errno;
    Discard();
    RaiseWriteError(fileName_, error);
  }
  placed_ = true;
  group->state_->Hand(GroupCommit::State::Handed{temp_, target_, fileName_, -1, folder_});
  return true;
}

}  // namespace Lumo::Sign

#endif  // !_WIN32
