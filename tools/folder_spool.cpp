// The folder protocol of dezsign spool: claiming, work folders, group commit, publishing,
// DONE and FAILED, recovery after a crash, watching and pausing (see folder_spool.h).
#include "tools/folder_spool.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef __linux__
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "base/file_name.h"
#include "sign/output_file.h"
#include "tools/batch.h"
#include "tools/command.h"
#include "tools/spool_folders.h"

namespace Lumo::Tool {

bool IsSpoolTemporaryName(const std::string& name) {
  static const char* const kEndings[] = {".tmp", ".part", ".partial", ".filepart", "~"};
  if (name.empty() || name[0] == '.') return true;
  for (const char* ending : kEndings) {
    const size_t n = std::strlen(ending);
    if (name.size() >= n && name.compare(name.size() - n, n, ending) == 0) return true;
  }
  return false;
}

#ifndef __linux__

int RunFolderSpool(const SpoolSettings&, const std::function<SpoolJob()>&) {
  std::fprintf(stderr, "dezsign spool: not available on this system (needs Linux)\n");
  return kExitFailure;
}

#else

namespace {

using Clock = std::chrono::steady_clock;

std::string UtcNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string LocalClock() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &tm);
  return text;
}

// One line per event: line breaks inside a message (a parse error's source line) become "; ".
void Log(const std::string& text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') {
      line += text[i];
    } else if (text[i] == '\n' && i + 1 < text.size()) {
      line += "; ";
    }
  }
  std::fprintf(stderr, "dezsign spool: %s\n", line.c_str());
}

// Signals reach the spool through the handler that dezsign's signal thread calls; the
// loop is woken through a pipe.
std::atomic<bool> g_stop{false};
std::atomic<bool> g_reload{false};
int g_wakeWrite = -1;

bool OnSignal(int signal) {
  if (signal == SIGHUP) {
    g_reload = true;
  } else if (g_stop.exchange(true)) {
    return false;  // asked twice: end at once
  }
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_wakeWrite, &byte, 1);
  return true;
}

// One input on its way: where it is, what became of it.
struct Item {
  Item(std::string n, std::string w, std::string s, std::string when)
      : name(std::move(n)), work(std::move(w)), stage(std::move(s)), taken(std::move(when)) {}
  std::string name;
  std::string work;   // its work folder
  std::string stage;  // the staging folder of its result
  bool worked = false;
  bool fromBefore = false;  // found with its result already staged
  SpoolOutcome outcome;
  double ms = 0;
  std::string taken;  // clock time it was taken
};

// A work folder of a spool that ended, taken over; its lock is held until it is gone.
struct Orphan {
  std::string work, stage;
  int lockFd = -1;
};

class FolderSpool {
 public:
  FolderSpool(const SpoolSettings& s, const std::function<SpoolJob()>& makeJob)
      : s_(s), makeJob_(makeJob) {}

  ~FolderSpool() {
    if (committer_.joinable()) committer_.join();
    if (lockFd_ >= 0) ::close(lockFd_);
    for (Orphan& o : orphans_) ::close(o.lockFd);
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
  }

  int Run() {
    Setup();
    // The workers' results are made lasting a group at a time (CommitGroup); a result the
    // group could not place is its input's machine fault.
    Lumo::Sign::GroupCommit results([this](const std::string& result, const std::string& why) {
      std::lock_guard<std::mutex> lock(lostLock_);
      lost_.emplace(result, why);
    });
    results_ = &results;
    const auto start = Clock::now();
    auto lastAdoption = Clock::time_point();
    std::string fault = Probe();
    while (!g_stop) {
      if (g_reload.exchange(false)) {
        Log("SIGHUP: the key profile is read again");
        fault = Probe();
        if (fault.empty()) pausedUntil_ = Clock::now();
      }
      if (!fault.empty()) {
        JoinCommitter();
        Pause(fault);
        fault.clear();
        if (!s_.watch) break;
      }
      if (Clock::now() < pausedUntil_) {
        Wait(pausedUntil_);
        if (Clock::now() >= pausedUntil_ && !g_stop) fault = Probe();
        continue;
      }
      try {
        if (Clock::now() - lastAdoption > kRescan) {
          AdoptOrphans();
          lastAdoption = Clock::now();
        }
        std::vector<Item> group = TakeGroup();
        // Results that wait for OUT/NAME to be taken are no reason to go on by themselves.
        const bool fresh = std::any_of(group.begin(), group.end(), [this](const Item& item) {
          return !item.fromBefore || !IsWaiting(item.name);
        });
        if (!fresh) {
          if (committer_.joinable()) {  // what it leaves may make the next group
            ReturnLeftovers(group);
            fault = JoinCommitter();
            continue;
          }
          if (!s_.watch) break;
          if (!group.empty()) fault = FinishNow(group);
          Wait(nextScan_);
          continue;
        }
        const std::string groupFault = RunGroup(group);
        // The previous group is finished while this one is worked; this one is finished
        // while the next is.
        fault = JoinCommitter();
        const std::string commitFault = CommitGroup(group);
        StartCommitter(std::move(group));
        if (fault.empty()) fault = groupFault.empty() ? commitFault : groupFault;
        if (fault.empty()) backoff_ = kFirstBackoff;
      } catch (const MachineError& e) {
        fault = e.what();
      }
    }
    if (const std::string last = JoinCommitter(); !last.empty()) Log("stopped: " + last);
    LeaveOwnFolder();
    return Summary(std::chrono::duration<double>(Clock::now() - start).count());
  }

 private:
  static constexpr auto kRescan = std::chrono::seconds(5);

  bool IsWaiting(const std::string& name) {
    std::lock_guard<std::mutex> lock(waitingLock_);
    return waiting_.count(name) != 0;
  }

  // Group commit: the group's results made lasting at once (GroupCommit: one flush of
  // their file system, the renames into the staging folder, one flush of that folder),
  // before any of them is published. A result it could not place makes its input a machine
  // fault (returned, the first one). The staging folder is flushed once more here, where a
  // failure is not let pass: the group's files are then left for later.
  std::string CommitGroup(std::vector<Item>& group) {
    results_->Finish();
    std::string fault;
    {
      std::lock_guard<std::mutex> lock(lostLock_);
      for (Item& item : group) {
        const auto lost = lost_.find(Path(item.stage, item.name));
        if (lost == lost_.end()) continue;
        if (item.worked && item.outcome.fault == SpoolFault::None)
          item.outcome = {SpoolFault::Machine, lost->second, "error", 0};
        if (fault.empty()) fault = lost->second;
      }
      lost_.clear();
    }
    try {
      FlushFolder(stage_);
    } catch (const MachineError&) {
      ReturnLeftovers(group);
      throw;
    }
    return fault;
  }

  // The group's files as they are, for a later group: not worked ones back to IN.
  void ReturnLeftovers(std::vector<Item>& group) {
    for (Item& item : group) {
      if (item.work != work_) continue;  // a folder taken over is listed again
      if (!item.worked && ReturnToIn(item)) continue;
      ownLeft_.push_back(item.name);
    }
  }

  // Finish(group) on the committer thread; what it leaves in the own work folder is
  // taken up when it is joined.
  void StartCommitter(std::vector<Item> group) {
    assert(!committer_.joinable());
    finishing_ = std::move(group);
    for (const Item& item : finishing_)
      if (item.work != work_) finishingOrphans_.insert(Path(item.work, item.name));
    committer_ = std::thread([this] { committerFault_ = Finish(finishing_, committerLeft_); });
  }

  // Finish on this thread (results that wait for OUT/NAME to be taken).
  std::string FinishNow(std::vector<Item>& group) {
    std::vector<std::string> left;
    std::string fault = Finish(group, left);
    ownLeft_.insert(ownLeft_.end(), left.begin(), left.end());
    return fault;
  }

  std::string JoinCommitter() {
    if (!committer_.joinable()) return std::string();
    committer_.join();
    ownLeft_.insert(ownLeft_.end(), committerLeft_.begin(), committerLeft_.end());
    committerLeft_.clear();
    finishing_.clear();
    finishingOrphans_.clear();
    return std::move(committerFault_);
  }
  static constexpr double kFirstBackoff = 0.5, kLastBackoff = 60;

  void Setup() {
    struct stat st;
    if (::stat(s_.in.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw UsageError("--in \"" + Shown(s_.in) + "\" is not a folder");
    for (const std::string* folder : {&s_.out, &s_.done, &s_.failed})
      if (!folder->empty()) MakeFolder(*folder);
    for (const std::string* folder : {&s_.done, &s_.failed})
      if (!folder->empty() && DeviceOf(*folder) != st.st_dev)
        throw UsageError("\"" + Shown(*folder) +
                         "\" must be on the file system of --in (inputs are moved by renaming)");
    workRoot_ = Path(s_.in, ".work");
    stageRoot_ = Path(s_.out, ".work");
    // Made under a hidden name with its lock taken, then renamed: no other spool ever sees
    // a work folder whose lock is not yet held. (A spool that ends removes the parents
    // when empty: made again when one went just now.)
    std::string temp;
    for (int attempt = 0;; ++attempt) {
      MakeFolder(workRoot_);
      MakeFolder(stageRoot_);
      temp = Path(workRoot_, ".new-XXXXXX");
      if (::mkdtemp(temp.data())) break;
      if (errno != ENOENT || attempt == 5)
        RaiseMachine("cannot create a work folder in", workRoot_, errno);
    }
    lockFd_ = ::open(Path(temp, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0)
      RaiseMachine("cannot lock a work folder in", workRoot_, errno);
    id_ = "spool-" + temp.substr(temp.size() - 6);
    work_ = Path(workRoot_, id_);
    stage_ = Path(stageRoot_, id_);
    // A staging folder of that name can only be a remnant whose inputs are all done.
    std::error_code ec;
    std::filesystem::remove_all(stage_, ec);
    MakeFolder(stageRoot_);
    if (::mkdir(stage_.c_str(), 0700) != 0) RaiseMachine("cannot create", stage_, errno);
    if (::rename(temp.c_str(), work_.c_str()) != 0) RaiseMachine("cannot create", work_, errno);
    if (s_.watch) {
      inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (inotifyFd_ >= 0 &&
          ::inotify_add_watch(inotifyFd_, s_.in.c_str(),
                              IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB | IN_CREATE) < 0) {
        ::close(inotifyFd_);
        inotifyFd_ = -1;  // the periodic rescan alone
      }
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) RaiseMachine("cannot make a pipe", "", errno);
    wakeRead_ = ends[0];
    g_wakeWrite = ends[1];
    SetSignalHandler(&OnSignal);
  }

  std::string Probe() {
    if (!s_.probe) return std::string();
    return s_.probe();
  }

  void Pause(const std::string& why) {
    ++pauses_;
    if (!s_.watch) {
      Log("stopped: " + why);
      return;
    }
    Log("paused for " + std::to_string(backoff_).substr(0, 4) + " s, taking no new files: " + why);
    pausedUntil_ = Clock::now() + std::chrono::milliseconds(static_cast<long>(backoff_ * 1000));
    backoff_ = std::min(backoff_ * 2, kLastBackoff);
  }

  // Sleeps until `until`, a signal, or (watching) a change in IN.
  void Wait(Clock::time_point until) {
    const auto now = Clock::now();
    int timeout = 0;
    if (until > now)
      timeout = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
    const int n = ::poll(fds, inotifyFd_ >= 0 && now >= pausedUntil_ ? 2 : 1, timeout);
    if (n <= 0) return;
    char buffer[4096];
    while (::read(wakeRead_, buffer, sizeof buffer) > 0) {
    }
    if (inotifyFd_ >= 0 && (fds[1].revents & POLLIN)) {
      while (::read(inotifyFd_, buffer, sizeof buffer) > 0) {
      }
      nextScan_ = Clock::now();  // something arrived: look now
      pending_.clear();
    }
  }

  // Whether a name in IN may be taken now; a file not yet settled moves the next scan up to
  // the moment it will be.
  bool Ready(const std::string& name) {
    if (IsSpoolTemporaryName(name)) return false;
    struct stat st;
    if (::lstat(Path(s_.in, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (s_.settleSeconds <= 0) return true;
    const timespec& m = st.st_mtim.tv_sec > st.st_ctim.tv_sec ? st.st_mtim : st.st_ctim;
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    const double age = (now.tv_sec - m.tv_sec) + (now.tv_nsec - m.tv_nsec) / 1e9;
    if (age >= s_.settleSeconds) return true;
    const auto settles = Clock::now() + std::chrono::milliseconds(
                                            static_cast<long>((s_.settleSeconds - age) * 1000) + 1);
    if (settles < nextScan_) nextScan_ = settles;
    return false;
  }

  size_t GroupLimit() const { return std::min<size_t>(256, 64 * BatchWorkers(s_.jobs, 256)); }

  // The next group: what is left in the own work folder, then files claimed from IN.
  std::vector<Item> TakeGroup() {
    std::vector<Item> group;
    const std::string now = LocalClock();
    for (const std::string& name : ownLeft_) {
      Item item(name, work_, stage_, now);
      if (Exists(Path(stage_, name))) {  // its result waits to be published
        item.worked = item.fromBefore = true;
      }
      group.push_back(std::move(item));
    }
    ownLeft_.clear();
    for (const Orphan& o : orphans_) {  // results staged by a spool that ended
      for (const std::string& name : ListFolder(o.work)) {
        if (name[0] == '.' || !Exists(Path(o.stage, name)) ||
            finishingOrphans_.count(Path(o.work, name)))
          continue;
        Item item(name, o.work, o.stage, now);
        item.worked = item.fromBefore = true;
        group.push_back(std::move(item));
      }
    }
    const size_t limit = GroupLimit();
    if (pending_.empty() && Clock::now() >= nextScan_) {
      nextScan_ = Clock::now() + kRescan;
      for (std::string& name : ListFolder(s_.in))
        if (Ready(name)) pending_.push_back(std::move(name));
    }
    while (group.size() < limit && !pending_.empty()) {
      std::string name = std::move(pending_.front());
      pending_.pop_front();
      if (MoveNoReplace(Path(s_.in, name), Path(work_, name)) != Move::Done)
        continue;  // taken by another
      group.emplace_back(name, work_, stage_, now);
    }
    if (!pending_.empty()) nextScan_ = Clock::now();
    return group;
  }

  // The group's files on the workers. The results are written by the durable writer,
  // handed to the group commit (CommitGroup).
  // Returns the first machine fault met (the workers then stop taking files), or empty.
  std::string RunGroup(std::vector<Item>& group) {
    std::atomic<size_t> next{0};
    std::atomic<bool> machineFault{false};
    RunOnWorkers(BatchWorkers(s_.jobs, group.size()), [&] {
      Lumo::Sign::GroupCommit::Member member(*results_);
      SpoolJob job;
      for (size_t i = next++; i < group.size(); i = next++) {
        Item& item = group[i];
        if (item.worked) continue;
        if (machineFault || g_stop) break;
        const auto start = Clock::now();
        try {
          if (!job) job = makeJob_();
          item.outcome = job(Path(item.work, item.name), Path(item.stage, item.name));
        } catch (const std::exception& e) {
          item.outcome = {SpoolFault::Machine, e.what(), "error", 0};
        }
        item.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        item.worked = true;
        if (item.outcome.fault == SpoolFault::Machine) machineFault = true;
      }
    });
    for (const Item& item : group)
      if (item.worked && item.outcome.fault == SpoolFault::Machine) return item.outcome.message;
    return std::string();
  }

  // After the group commit: results published, inputs moved on, in the order that keeps
  // every crash recoverable. Returns the machine fault met, or empty.
  // The names it leaves in the own work folder are added to `left`.
  std::string Finish(std::vector<Item>& group, std::vector<std::string>& left) {
    std::string fault = FinishFiles(group);
    for (const Item& item : group)
      if (item.work == work_ && Exists(Path(work_, item.name))) left.push_back(item.name);
    return fault;
  }

  std::string FinishFiles(std::vector<Item>& group) {
    std::string fault;
    auto machine = [&fault](const std::string& what) {
      if (fault.empty()) fault = what;
    };
    // Results staged before (this spool's earlier groups whose commit failed, or a spool
    // that ended) are made lasting in their folder before they are published: an input
    // left in a work folder must find its result there after any crash.
    std::set<std::string> stagedBefore;
    for (const Item& item : group)
      if (item.fromBefore) stagedBefore.insert(item.stage);
    try {
      for (const std::string& folder : stagedBefore) FlushFolder(folder);
    } catch (const MachineError& e) {
      return e.what();
    }
    std::vector<Item*> published;
    bool failedAny = false;
    for (Item& item : group) {
      if (!item.worked) {
        ReturnToIn(item);  // not started: stopping or paused
        continue;
      }
      if (item.outcome.fault == SpoolFault::Machine) {
        ReturnToIn(item);
        ++keptBack_;
        Log(Shown(item.name) + ": kept in IN: " + item.outcome.message);
        machine(item.outcome.message);
        continue;
      }
      try {
        if (item.outcome.fault == SpoolFault::Document) {
          const std::string where = MoveToFailed(item);
          failedAny = true;
          ++failed_;
          Log(Shown(item.name) + ": FAILED after " + Ms(item) + ", moved to " + Shown(where) +
              ": " + item.outcome.message);
        } else if (Publish(item)) {
          published.push_back(&item);
        }
      } catch (const MachineError& e) {
        machine(e.what());
      }
    }
    try {
      if (failedAny) FlushFolder(s_.failed);
      if (published.empty()) return fault;
      FlushFolder(s_.out);  // the results last before their inputs leave the work folder
      std::set<std::string> workFolders;
      std::vector<Item*> moved;
      for (Item* item : published) {
        try {
          const std::string from = Path(item->work, item->name);
          if (s_.done.empty()) {
            if (::unlink(from.c_str()) != 0 && errno != ENOENT)
              RaiseMachine("cannot delete", from, errno);
          } else {
            FreeName(s_.done, item->name, [&](const std::string& to) {
              const Move moved = MoveNoReplace(from, to);
              if (moved == Move::Gone) throw MachineError("\"" + Shown(from) + "\" is gone");
              return moved == Move::Done;
            });
          }
          workFolders.insert(item->work);
          moved.push_back(item);
        } catch (const MachineError& e) {
          machine(e.what());
        }
      }
      if (!s_.done.empty() && !moved.empty()) FlushFolder(s_.done);
      for (const std::string& folder : workFolders) FlushFolder(folder);
      // Only now may the staged copies go: an input still in a work folder with no staged
      // result would be worked again.
      for (Item* item : moved) {
        ::unlink(Path(item->stage, item->name).c_str());
        ++done_;
        Log(Shown(item->name) + ": OK" +
            (item->fromBefore ? ", result from before a restart" : ", " + Ms(*item)) + " (taken " +
            item->taken + ")");
      }
    } catch (const MachineError& e) {
      machine(e.what());
    }
    return fault;
  }

  static std::string Ms(const Item& item) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f ms", item.ms);
    return text;
  }

  // Hard-links the staged result as OUT/NAME: never over another file. False when an
  // earlier result of that name is still there (the file waits in the work folder).
  bool Publish(Item& item) {
    const std::string staged = Path(item.stage, item.name), target = Path(s_.out, item.name);
    if (::link(staged.c_str(), target.c_str()) == 0) {
      std::lock_guard<std::mutex> lock(waitingLock_);
      waiting_.erase(item.name);
      return true;
    }
    const int error = errno;
    if (error != EEXIST) RaiseMachine("cannot put the result in place as", target, error);
    struct stat a, b;
    if (::lstat(staged.c_str(), &a) == 0 && ::lstat(target.c_str(), &b) == 0 &&
        a.st_ino == b.st_ino && a.st_dev == b.st_dev) {
      return true;  // published before a restart
    }
    std::lock_guard<std::mutex> lock(waitingLock_);
    if (waiting_.insert(item.name).second)
      Log(Shown(item.name) + ": waiting: \"" + Shown(target) +
          "\" exists (an earlier result not yet taken)");
    return false;
  }

  // Tries NAME, NAME.1, NAME.2, ... in `folder` until `place` succeeds with one (it must
  // never replace a file). Returns the name used.
  template <class Place>
  std::string FreeName(const std::string& folder, const std::string& name, Place place) {
    for (unsigned n = 0; n < 100000; ++n) {
      const std::string candidate = Path(folder, n ? name + "." + std::to_string(n) : name);
      if (place(candidate)) return candidate;
    }
    throw MachineError("no free name for \"" + Shown(name) + "\" in \"" + Shown(folder) + "\"");
  }

  // FAILED/NAME with NAME.error beside it, written first: a crash between the two leaves
  // the input in the work folder, which fails again and writes the same report.
  std::string MoveToFailed(Item& item) {
    const std::string from = Path(item.work, item.name);
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(item.outcome.status));
    const std::string report = "file: " + Shown(item.name) + "\naction: " + s_.action +
                               "\ntime: " + UtcNow() + "\nverdict: " + item.outcome.verdict +
                               "\nstatus: " + status + "\nmessage: " + item.outcome.message + "\n";
    return FreeName(s_.failed, item.name, [&](const std::string& to) {
      if (Exists(to) || Exists(to + ".error")) return false;
      try {
        Lumo::Sign::WriteOutputFile(to + ".error", report);
      } catch (const std::exception& e) {
        throw MachineError(e.what());
      }
      const Move moved = MoveNoReplace(from, to);
      if (moved == Move::Done) return true;
      ::unlink((to + ".error").c_str());
      if (moved == Move::Gone) throw MachineError("\"" + Shown(from) + "\" is gone");
      return false;
    });
  }

  // Back to IN, unless a new file of that name came meanwhile: then it stays in the work
  // folder and is worked in the next group.
  bool ReturnToIn(Item& item) {
    try {
      return item.work == work_ &&
             MoveNoReplace(Path(item.work, item.name), Path(s_.in, item.name)) == Move::Done;
    } catch (const MachineError& e) {
      Log(e.what());
      return false;
    }
  }

  // Work folders whose lock is free belong to spools that ended: their files not yet
  // worked come into the own work folder, their staged results are published by the next
  // groups, and the folders go once empty.
  void AdoptOrphans() {
    for (const std::string& name : ListFolder(workRoot_)) {
      const std::string work = Path(workRoot_, name);
      if (work == work_ || (name.rfind("spool-", 0) != 0 && name.rfind(".new-", 0) != 0)) continue;
      if (std::any_of(orphans_.begin(), orphans_.end(),
                      [&](const Orphan& o) { return o.work == work; }))
        continue;
      // (A work folder is named spool-* only once its lock is held: one without a lock
      // lost it to a crash while it was being removed.)
      const int fd = ::open(Path(work, ".lock").c_str(),
                            O_RDWR | O_CLOEXEC | (name[0] == '.' ? 0 : O_CREAT), 0600);
      if (fd < 0) continue;  // being removed
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        continue;  // its spool is running
      }
      Log("taking over the work folder \"" + Shown(work) + "\" of a spool that ended");
      orphans_.push_back({work, Path(stageRoot_, name), fd});
    }
    for (size_t i = 0; i < orphans_.size();) {
      Orphan& o = orphans_[i];
      bool left = false;
      std::vector<std::string> staged;
      if (Exists(o.stage)) staged = ListFolder(o.stage);
      for (const std::string& name : ListFolder(o.work)) {
        if (name[0] == '.') continue;
        if (Exists(Path(o.stage, name))) {
          left = true;  // published by the next group
        } else {
          const Move moved = MoveNoReplace(Path(o.work, name), Path(work_, name));
          if (moved == Move::Done) ownLeft_.push_back(name);
          if (moved == Move::Exists) left = true;
        }
      }
      for (const std::string& name : staged)  // done, or a temporary file of the writer
        if (name[0] == '.' || !Exists(Path(o.work, name))) ::unlink(Path(o.stage, name).c_str());
      if (left) {
        ++i;
        continue;
      }
      FlushFolder(work_);
      ::rmdir(o.stage.c_str());
      ::unlink(Path(o.work, ".lock").c_str());
      ::rmdir(o.work.c_str());
      ::close(o.lockFd);
      orphans_.erase(orphans_.begin() + static_cast<long>(i));
    }
  }

  // At the end: files not worked go back to IN; the own folders go when empty (else the
  // next spool takes them over).
  void LeaveOwnFolder() {
    try {
      AdoptOrphans();  // the folders taken over whose results were published meanwhile go
    } catch (const MachineError&) {
    }
    bool left = false;
    for (const std::string& name : ListFolderOrNone(work_)) {
      if (name[0] == '.') continue;
      Item item(name, work_, stage_, std::string());
      if (!Exists(Path(stage_, name))) ReturnToIn(item);
      if (Exists(Path(work_, name))) {
        left = true;
        ++keptBack_;
      }
    }
    if (left) return;
    ::rmdir(stage_.c_str());
    ::unlink(Path(work_, ".lock").c_str());
    ::rmdir(work_.c_str());
    ::rmdir(stageRoot_.c_str());  // fails while another spool uses them
    ::rmdir(workRoot_.c_str());
  }

  static std::vector<std::string> ListFolderOrNone(const std::string& folder) {
    try {
      return ListFolder(folder);
    } catch (const MachineError&) {
      return {};
    }
  }

  int Summary(double seconds) {
    const size_t total = done_ + failed_;
    char line[256];
    std::snprintf(line, sizeof line,
                  "%zu files in %.2f s (%.1f files/s, %u workers): %zu OK, %zu failed, %zu kept "
                  "back",
                  total, seconds, seconds > 0 ? total / seconds : 0.0, BatchWorkers(s_.jobs, 256),
                  done_, failed_, keptBack_);
    Log(line);
    if (s_.watch) return kExitOk;  // stopped by a signal, as asked
    return failed_ || keptBack_ || pauses_ ? kExitFailure : kExitOk;
  }

  const SpoolSettings& s_;
  const std::function<SpoolJob()>& makeJob_;
  std::string workRoot_, stageRoot_, id_, work_, stage_;
  int lockFd_ = -1, inotifyFd_ = -1, wakeRead_ = -1;
  std::vector<Orphan> orphans_;
  std::deque<std::string> pending_;  // names found in IN, not yet claimed
  std::mutex waitingLock_;
  std::set<std::string> waiting_;     // results waiting for OUT/NAME to be taken (logged once)
  std::vector<std::string> ownLeft_;  // in the own work folder, in no group
  std::thread committer_;             // finishing the previous group
  std::vector<Item> finishing_;
  std::set<std::string> finishingOrphans_;  // files of folders taken over, in finishing_
  std::vector<std::string> committerLeft_;
  std::string committerFault_;
  Lumo::Sign::GroupCommit* results_ = nullptr;  // Run's
  std::mutex lostLock_;
  std::map<std::string, std::string> lost_;  // results the group could not place: why
  Clock::time_point nextScan_ = Clock::now(), pausedUntil_ = Clock::now();
  double backoff_ = kFirstBackoff;
  size_t done_ = 0, failed_ = 0, keptBack_ = 0, pauses_ = 0;
};

}  // namespace

int RunFolderSpool(const SpoolSettings& settings, const std::function<SpoolJob()>& makeJob) {
  FolderSpool spool(settings, makeJob);
  return spool.Run();
}

#endif

}  // namespace Lumo::Tool
