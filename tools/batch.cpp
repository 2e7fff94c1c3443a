#include "tools/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "base/file_name.h"
#include "sign/output_file.h"
#include "tools/command.h"

namespace Lumo::Tool {

namespace fs = std::filesystem;

namespace {

// One spelling per file: absolute, links and "." / ".." resolved as far as the path exists.
// A batch names thousands of files in a few folders: each folder is resolved once, and a
// name in it costs one look at whether it is itself a link. A link is followed also when
// what it leads to does not exist yet, as a result written through it would be.
class SameFileKeys {
 public:
  std::string Of(const std::string& name) { return Of(fs::path(name), 0); }

 private:
  std::string Of(const fs::path& path, int links) {
    const fs::path file = path.filename();
    std::error_code ec;
    if (file.empty() || file == "." || file == "..") return Resolved(path).string();
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
      fs::path target = fs::read_symlink(path, ec);
      if (ec || links >= 40) return Resolved(path).string();
      return Of(target.is_absolute() ? target : path.parent_path() / target, links + 1);
    }
    auto [at, added] = folders_.try_emplace(path.parent_path().string());
    if (added) at->second = Resolved(path.has_parent_path() ? path.parent_path() : fs::path("."));
    return (at->second / file).string();
  }

  static fs::path Resolved(const fs::path& path) {
    std::error_code ec;
    fs::path key = fs::weakly_canonical(fs::absolute(path, ec), ec);
    return ec ? fs::absolute(path).lexically_normal() : key;
  }

  std::map<std::string, fs::path> folders_;
};

std::string Quoted(const std::string& name) {
  return "\"" + Lumo::Base::FileNameForMessage(name) + "\"";
}

std::string FormatDuration(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
  return buffer;
}

// The progress line on a terminal, rewritten in place. A terminal that says it is dumb
// (TERM=dumb: Emacs shells, some CI logs) gets no escape sequences: a carriage return, and
// spaces over what the last line left.
class ProgressLine {
 public:
  explicit ProgressLine(bool shown) : shown_(shown) {
    const char* term = std::getenv("TERM");
    dumb_ = term != nullptr && std::string(term) == "dumb";
  }
  bool Shown() const { return shown_; }
  void Show(const std::string& text) {
    if (!shown_) return;
    Clear();
    std::fputs(text.c_str(), stderr);
    width_ = text.size();
  }
  void Clear() {
    if (!shown_ || width_ == 0) return;
    if (dumb_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    else
      std::fputs("\r\033[K", stderr);
    width_ = 0;
  }

 private:
  bool shown_;
  bool dumb_ = false;
  size_t width_ = 0;  // characters on the line now
};

}  // namespace

std::vector<std::string> BatchOutputNames(const std::vector<std::string>& inputs,
                                          const std::string& outDir) {
  std::vector<std::string> outputs;
  outputs.reserve(inputs.size());
  // Hashed: the keys are long paths that share their folder's spelling, which an ordered
  // map would compare again at every level.
  std::unordered_map<std::string, size_t> byOutput;  // key of an output -> its input
  byOutput.reserve(inputs.size());
  SameFileKeys keys;
  const fs::path folder(outDir);
  for (size_t i = 0; i < inputs.size(); ++i) {
    outputs.push_back((folder / fs::path(inputs[i]).filename()).string());
    auto [at, added] = byOutput.emplace(keys.Of(outputs[i]), i);
    if (!added)
      throw UsageError(Quoted(inputs[at->second]) + " and " + Quoted(inputs[i]) +
                       " would both be written to " + Quoted(outputs[i]));
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    auto at = byOutput.find(keys.Of(inputs[i]));
    if (at != byOutput.end() && at->second != i)
      throw UsageError(Quoted(inputs[i]) + " is also the output of " + Quoted(inputs[at->second]));
  }
  return outputs;
}

unsigned BatchWorkers(unsigned requested, size_t items) {
  unsigned workers = requested ? requested : std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(workers, items)));
}

void RunOnWorkers(unsigned workers, const std::function<void()>& work) {
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
}

int RunBatch(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
             const BatchSettings& settings, const std::function<BatchJob()>& makeJob) {
  const std::string& outDir = settings.outDir;
  std::error_code ec;
  if (!fs::is_directory(outDir, ec)) {
    if (!settings.parents) {
      std::fprintf(stderr, "dezsign: the output folder %s does not exist (--parents makes it)\n",
                   Quoted(outDir).c_str());
      return kExitFailure;
    }
    fs::create_directories(outDir, ec);
    if (!fs::is_directory(outDir, ec)) {
      std::fprintf(stderr, "dezsign: cannot create output folder %s\n", Quoted(outDir).c_str());
      return kExitFailure;
    }
  }
  const unsigned jobs = BatchWorkers(settings.jobs, inputs.size());

  std::atomic<size_t> next{0}, done{0}, failed{0}, refused{0}, skipped{0};
  std::mutex reportLock;
  ProgressLine line(!settings.quiet && isatty(2) != 0);
  const bool progress = line.Shown();
  const auto start = std::chrono::steady_clock::now();
  auto lastShown = start;

  // The results are made durable in groups; a file the group could not place counts as
  // failed, reported as it happens.
  std::map<std::string, size_t> byOutput;
  for (size_t i = 0; i < outputs.size(); ++i) byOutput.emplace(outputs[i], i);
  std::vector<char> lost(inputs.size(), 0);
  Lumo::Sign::GroupCommit group([&](const std::string& fileName, const std::string& message) {
    std::lock_guard<std::mutex> lock(reportLock);
    auto at = byOutput.find(fileName);
    if (at != byOutput.end()) {
      if (lost[at->second]) return;
      lost[at->second] = 1;
    }
    ++failed;
    line.Clear();
    std::fprintf(stderr, "dezsign: %s\n", message.c_str());
  });

  auto worker = [&] {
    Lumo::Sign::GroupCommit::Member member(group);
    BatchJob job = makeJob();
    for (;;) {
      size_t i = next++;
      if (i >= inputs.size()) break;
      BatchResult r = job(inputs[i], outputs[i]);
      if (r.skipped) ++skipped;
      size_t finished = ++done;
      std::lock_guard<std::mutex> lock(reportLock);
      if (r.failed) {
        ++failed;
        if (r.refused) ++refused;
        line.Clear();
        std::fprintf(stderr, "dezsign: %s\n", r.message.c_str());
      } else if (!r.note.empty() && !settings.quiet) {
        line.Clear();
        std::fprintf(stderr, "%s\n", r.note.c_str());
      }
      auto now = std::chrono::steady_clock::now();
      if (progress &&
          (now - lastShown > std::chrono::milliseconds(100) || finished == inputs.size())) {
        lastShown = now;
        double elapsed = std::chrono::duration<double>(now - start).count();
        double rate = elapsed > 0 ? finished / elapsed : 0;
        double eta = rate > 0 ? (inputs.size() - finished) / rate : 0;
        char text[128];
        std::snprintf(text, sizeof text, "[%zu/%zu] %.1f files/s, ETA %s", finished, inputs.size(),
                      rate, FormatDuration(eta).c_str());
        line.Show(text);
      }
    }
  };
  RunOnWorkers(jobs, worker);
  group.Finish();  // every result placed and durable, or reported, before the summary

  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  line.Clear();
  if (settings.quiet) return failed ? (failed == refused ? kExitRefused : kExitFailure) : kExitOk;
  std::string skippedText;
  if (skipped) skippedText = ", " + std::to_string(skipped.load()) + " skipped (done before)";
  std::fprintf(
      stderr, "dezsign: %zu of %zu files done in %.2f s (%.1f files/s, %u workers), %zu failed%s\n",
      inputs.size() - failed.load(), inputs.size(), elapsed,
      elapsed > 0 ? inputs.size() / elapsed : 0.0, jobs, failed.load(), skippedText.c_str());
  if (failed && failed == refused) return kExitRefused;
  return failed ? kExitFailure : kExitOk;
}

}  // namespace Lumo::Tool
