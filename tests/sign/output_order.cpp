// The order in which a result file reaches the disk, seen at the system calls: every write
// of the temporary file, then its flush (fsync, or syncfs of its file system for a group),
// then the rename onto the target, then the flush of the folder. The calls are observed by
// link-time wrapping of this test binary alone (-Wl,--wrap=..., tests/sign/extra.cmake):
// the library is the one every program links, and pays nothing for being watched.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sign/output_file.h"
#include "tests/sign/test_support.h"

namespace {

struct Event {
  std::string call, path, to;  // to: a rename's new name
};

std::atomic<bool> g_watching{false};
std::mutex g_lock;
std::string g_folder;  // only calls on names under it are kept
std::vector<Event> g_events;

std::string PathOfDescriptor(int fd) {
  char buffer[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void Note(const char* call, std::string path, const char* to = "") {
  if (!g_watching.load()) return;
  std::lock_guard<std::mutex> lock(g_lock);
  if (path.rfind(g_folder, 0) != 0) return;
  g_events.push_back({call, std::move(path), to});
}

}  // namespace

extern "C" {
ssize_t __real_write(int fd, const void* data, size_t size);
int __real_fsync(int fd);
int __real_syncfs(int fd);
int __real_rename(const char* from, const char* to);

ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (g_watching.load()) Note("write", PathOfDescriptor(fd));
  return __real_write(fd, data, size);
}
int __wrap_fsync(int fd) {
  if (g_watching.load()) Note("fsync", PathOfDescriptor(fd));
  return __real_fsync(fd);
}
int __wrap_syncfs(int fd) {
  if (g_watching.load()) Note("syncfs", PathOfDescriptor(fd));
  return __real_syncfs(fd);
}
int __wrap_rename(const char* from, const char* to) {
  const int rc = __real_rename(from, to);
  if (rc == 0) Note("rename", from, to);
  return rc;
}
}

namespace {

using SignTest::TempDir;

// The calls seen while `run` wrote its files into folder.
std::vector<Event> Watch(const std::string& folder, const std::function<void()>& run) {
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_folder = folder;
    g_events.clear();
  }
  g_watching = true;
  run();
  g_watching = false;
  std::lock_guard<std::mutex> lock(g_lock);
  return g_events;
}

std::string Describe(const std::vector<Event>& events) {
  std::string text;
  for (const Event& e : events)
    text += e.call + " " + e.path + (e.to.empty() ? "" : " -> " + e.to) + "\n";
  return text;
}

// For the result file `target`: every write of its temporary file, then a flush of that
// file (flushCall on the file, or on the folder for syncfs), then the rename, then a flush
// of the folder; nothing written to the temporary file after its flush.
void ExpectDurableOrder(const std::vector<Event>& events, const std::string& folder,
                        const std::string& target, const std::string& flushCall) {
  SCOPED_TRACE(target + "\n" + Describe(events));
  auto at = [&](auto match) {
    return static_cast<size_t>(std::find_if(events.begin(), events.end(), match) - events.begin());
  };
  const size_t renamed = at([&](const Event& e) { return e.call == "rename" && e.to == target; });
  ASSERT_LT(renamed, events.size()) << "never renamed";
  const std::string temp = events[renamed].path;
  size_t lastWrite = events.size(), flushed = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    if (e.call == "write" && e.path == temp) lastWrite = i;
    const bool flushes = e.call == flushCall && e.path == (flushCall == "syncfs" ? folder : temp);
    if (flushes && flushed == events.size() && lastWrite != events.size()) flushed = i;
  }
  ASSERT_LT(lastWrite, events.size()) << "never written";
  ASSERT_LT(flushed, events.size()) << "never flushed after its last write";
  EXPECT_LT(lastWrite, flushed);
  EXPECT_LT(flushed, renamed);
  const size_t folderFlushed = at([&, renamed, n = size_t{0}](const Event& e) mutable {
    return n++ > renamed && e.call == "fsync" && e.path == folder;
  });
  EXPECT_LT(folderFlushed, events.size()) << "the folder is not flushed after the rename";
}

TEST(OutputFileOrder, WriteFlushRenameThenTheFolderFlush) {
  TempDir dir;
  const std::string folder = std::filesystem::canonical(dir.path()).string();
  const std::string a = folder + "/a.xml", b = folder + "/b.xml";
  const std::string big(200 * 1024, 'x');  // past the gathered size: written as it comes
  struct Case {
    const char* name;
    std::function<void()> run;
    std::vector<std::string> targets;
    const char* flushCall;
  } cases[] = {
      {"a single result file",
       [&] {
         Lumo::Sign::WriteOutputFile(a, {"<a/>", big});
       },
       {a},
       "fsync"},
      {"files of a folder flush scope",
       [&] {
         Lumo::Sign::FolderFlushScope scope;
         Lumo::Sign::WriteOutputFile(a, "<a/>");
         Lumo::Sign::WriteOutputFile(b, big);
       },
       {a, b},
       "fsync"},
      {"a group commit",
       [&] {
         Lumo::Sign::GroupCommit group(nullptr);
         Lumo::Sign::GroupCommit::Member member(group);
         Lumo::Sign::WriteOutputFile(a, "<a/>");
         Lumo::Sign::WriteOutputFile(b, big);
         group.Finish();
       },
       {a, b},
       "syncfs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Event> events = Watch(folder, c.run);
    for (const std::string& target : c.targets)
      ExpectDurableOrder(events, folder, target, c.flushCall);
  }
}

}  // namespace
