#include "tools/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "base/file_name.h"
#include "tools/command.h"

namespace Lumo::Tool {

namespace fs = std::filesystem;

namespace {

// One spelling per file: absolute, links and "." / ".." resolved as far as the path exists.
std::string SameFileKey(const std::string& name) {
  std::error_code ec;
  fs::path key = fs::weakly_canonical(fs::absolute(name, ec), ec);
  return ec ? fs::absolute(name).lexically_normal().string() : key.string();
}

std::string Quoted(const std::string& name) { return "\"" + Lumo::Base::FileNameForMessage(name) + "\""; }

std::string FormatDuration(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
  return buffer;
}

}  // namespace

std::vector<std::string> BatchOutputNames(const std::vector<std::string>& inputs,
                                          const std::string& outDir) {
  std::vector<std::string> outputs;
  std::map<std::string, size_t> byOutput;  // key of an output -> its input
  for (size_t i = 0; i < inputs.size(); ++i) {
    outputs.push_back((fs::path(outDir) / fs::path(inputs[i]).filename()).string());
    auto [at, added] = byOutput.emplace(SameFileKey(outputs[i]), i);
    if (!added)
      throw UsageError(Quoted(inputs[at->second]) + " and " + Quoted(inputs[i]) + " would both be written to " +
                       Quoted(outputs[i]));
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    auto at = byOutput.find(SameFileKey(inputs[i]));
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
             const std::string& outDir, unsigned jobs, const std::function<BatchJob()>& makeJob) {
  std::error_code ec;
  fs::create_directories(outDir, ec);
  if (!fs::is_directory(outDir)) {
    std::fprintf(stderr, "dezsign: cannot create output folder %s\n", Quoted(outDir).c_str());
    return kExitFailure;
  }
  jobs = BatchWorkers(jobs, inputs.size());

  std::atomic<size_t> next{0}, done{0}, failed{0};
  std::mutex reportLock;
  const bool progress = isatty(2) != 0;
  const auto start = std::chrono::steady_clock::now();
  auto lastShown = start;

  auto worker = [&] {
    BatchJob job = makeJob();
    for (;;) {
      size_t i = next++;
      if (i >= inputs.size()) break;
      BatchResult r = job(inputs[i], outputs[i]);
      size_t finished = ++done;
      std::lock_guard<std::mutex> lock(reportLock);
      if (r.failed) {
        ++failed;
        std::fprintf(stderr, "%sdezsign: %s\n", progress ? "\r\033[K" : "", r.message.c_str());
      }
      auto now = std::chrono::steady_clock::now();
      if (progress && (now - lastShown > std::chrono::milliseconds(100) || finished == inputs.size())) {
        lastShown = now;
        double elapsed = std::chrono::duration<double>(now - start).count();
        double rate = elapsed > 0 ? finished / elapsed : 0;
        double eta = rate > 0 ? (inputs.size() - finished) / rate : 0;
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %.1f files/s, ETA %s", finished, inputs.size(), rate,
                     FormatDuration(eta).c_str());
      }
    }
  };
  RunOnWorkers(jobs, worker);

  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (progress) std::fprintf(stderr, "\r\033[K");
  std::fprintf(stderr, "dezsign: %zu of %zu files done in %.2f s (%.1f files/s, %u workers), %zu failed\n",
               inputs.size() - failed.load(), inputs.size(), elapsed,
               elapsed > 0 ? inputs.size() / elapsed : 0.0, jobs, failed.load());
  return failed ? kExitFailure : kExitOk;
}

}  // namespace Lumo::Tool
