// The Root action in test mode on a 3 KB payment order and on a 10 MB packet, as documents/s and
// MB/s, next to `xmllint --c14n` of the same input timed in the same run (all rates from wall time,
// as xmllint runs as a separate process), the same comparison paired round by round
// (PairedRootVsXmllint: its ratio is the figure to read on a machine whose speed drifts), and the
// peak memory of one Root on the packet (for SignXml with the share of the text it returns, which
// in test mode holds the document and its Base64 in UTF-16). RootTextReference rows take Root with
// every canonical-form shortcut bypassed, next to RootText: reference against fast.
//
//   sign_bench [--benchmark_filter=...]        Google Benchmark options apply
//   sign_bench --memory-only                   only the peak-memory report
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/encoding.h"
#include "base/types.h"
#include "bench/packet.h"
#include "canon/shortcut.h"
#include "sign/profile.h"

extern char** environ;

namespace {

using Lumo::Base::WideString;
using Lumo::Sign::TProfile;

const std::string& Message() {
  static const std::string s = MakeMessageUtf8();
  return s;
}

const std::string& Packet() {
  static const std::string s = MakePacketUtf8();
  return s;
}

std::string TempFolder() {
  static std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/sign_bench_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) std::abort();
    return std::string(buf.data());
  }();
  return dir;
}

std::string WriteTemp(const std::string& name, const std::string& bytes) {
  std::string path = TempFolder() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

void Rates(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  state.counters["docs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["doc_bytes"] = static_cast<double>(bytes);
}

// SignXml with Root in test mode: text in, text out.
void RootText(benchmark::State& state, const std::string& doc) {
  WideString text = Lumo::Base::WideFromUtf8(doc);
  TProfile profile(nullptr, "bench");
  profile.TestMode = true;
  WideString value;
  for (auto _ : state) {
    profile.SignXml(text, Lumo::Base::saRoot, value);
    benchmark::DoNotOptimize(value.data());
  }
  Rates(state, doc.size());
}

// The same with every canonical-form shortcut bypassed (LUMO_CANON_REFERENCE): what the
// shortcuts earn, reference against fast, on the same document in the same run.
void RootTextReference(benchmark::State& state, const std::string& doc) {
  Lumo::Canon::Shortcuts::ForceReference(true);
  RootText(state, doc);
  Lumo::Canon::Shortcuts::ForceReference(false);
}

// SignFile with Root in test mode: file in, file out.
void RootFile(benchmark::State& state, const std::string& doc, const char* name) {
  std::string in = WriteTemp(std::string(name) + ".xml", doc);
  std::string out = TempFolder() + "/" + name + ".signed.xml";
  TProfile profile(nullptr, "bench");
  profile.TestMode = true;
  for (auto _ : state) profile.SignFile(in, out, Lumo::Base::saRoot);
  Rates(state, doc.size());
}

// Wall time of one run of a program with its output thrown away.
double RunSeconds(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// xmllint --c14n of the same input. For the small message one run canonicalises `copies`
// copies, so that the process start is spread over them; the time reported is per document.
void XmllintC14N(benchmark::State& state, const std::string& doc, const char* name, int copies) {
  std::string in = WriteTemp(std::string(name) + ".xml", doc);
  std::vector<std::string> args = {"xmllint", "--c14n"};
  for (int i = 0; i < copies; ++i) args.push_back(in);
  for (auto _ : state) {
    double seconds = RunSeconds(args);
    if (seconds < 0) {
      state.SkipWithError("xmllint --c14n did not run");
      break;
    }
    state.SetIterationTime(seconds / copies);
  }
  Rates(state, doc.size());
}

// Rounds of: Root (SignXml, test mode) on the document `batch` times in a row, then one
// xmllint --c14n run over `batch` copies of the same file; ratio = our time / xmllint's per
// round, median over the rounds. Pairing each measurement with a reference taken moments
// later keeps a machine whose speed drifts from deciding the comparison; ratio <= 1 means
// Root took no more time than the one W3C canonicalisation.
void PairedRootVsXmllint(benchmark::State& state, const std::string& doc, const char* name,
                         int batch) {
  std::string in = WriteTemp(std::string(name) + "_paired.xml", doc);
  std::vector<std::string> args = {"xmllint", "--c14n"};
  for (int i = 0; i < batch; ++i) args.push_back(in);
  WideString text = Lumo::Base::WideFromUtf8(doc);
  TProfile profile(nullptr, "bench");
  profile.TestMode = true;
  constexpr int kRounds = 9;
  std::vector<double> ours, theirs, ratios;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < batch; ++i) {
        WideString value;
        profile.SignXml(text, Lumo::Base::saRoot, value);
        benchmark::DoNotOptimize(value.data());
      }
      double root = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      double reference = RunSeconds(args);
      if (reference < 0) {
        state.SkipWithError("xmllint --c14n did not run");
        return;
      }
      ours.push_back(root / batch);
      theirs.push_back(reference / batch);
      ratios.push_back(root / reference);
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  state.counters["root_us"] = median(ours) * 1e6;
  state.counters["xmllint_us"] = median(theirs) * 1e6;
  state.counters["ratio"] = median(ratios);
  state.counters["rounds"] = static_cast<double>(ratios.size());
}

BENCHMARK_CAPTURE(RootText, message_3KB, Message())->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RootTextReference, message_3KB, Message())
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(XmllintC14N, message_3KB, Message(), "message", 2000)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RootText, packet_10MB, Packet())
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK_CAPTURE(RootTextReference, packet_10MB, Packet())
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK_CAPTURE(RootFile, packet_10MB, Packet(), "packet")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK_CAPTURE(XmllintC14N, packet_10MB, Packet(), "packet", 1)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PairedRootVsXmllint, message_3KB, Message(), "message", 2000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PairedRootVsXmllint, packet_10MB, Packet(), "packet", 1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// --- Peak memory -----------------------------------------------------------------------

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n + 1, nullptr, 10);
  }
  return -1;
}

struct Peak {
  long kb = -1;       // peak resident memory above what the process held before
  long resultKb = 0;  // of which the text returned to the caller (SignXml)
};

// One Root (test mode) measured in this process, which does nothing else: the peak
// resident memory above what it held once the input was ready (kB), or -1. The process
// must be fresh: memory that an earlier run freed but the allocator kept would be reused
// without showing in the peak.
Peak MeasureCase(const std::string& which, const std::string& in, const std::string& out) {
  WideString text;
  if (which == "text") {
    std::ifstream file(in, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    text = Lumo::Base::WideFromUtf8(bytes);
  }
  std::ofstream("/proc/self/clear_refs") << "5";  // resets the high-water mark
  long base = StatusKb("VmRSS:");
  TProfile p(nullptr, "m");
  p.TestMode = true;
  Peak result;
  if (which == "text") {
    WideString value;
    p.SignXml(text, Lumo::Base::saRoot, value);
    result.resultKb = static_cast<long>(value.size() * sizeof(char16_t) / 1024);
  } else {
    p.SignFile(in, out, Lumo::Base::saRoot);
  }
  long peak = StatusKb("VmHWM:");
  result.kb = base >= 0 && peak >= 0 ? peak - base : -1;
  return result;
}

// Runs MeasureCase in a new process (this program started again).
Peak PeakKb(const std::string& which, const std::string& in, const std::string& out) {
  Peak result;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return result;
  self[n] = '\0';
  std::string command =
      std::string("'") + self + "' --memory-case " + which + " '" + in + "' '" + out + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  if (std::fscanf(pipe, "%ld %ld", &result.kb, &result.resultKb) != 2) result.kb = -1;
  pclose(pipe);
  return result;
}

void MemoryReport() {
  const std::string& doc = Packet();
  double mb = static_cast<double>(doc.size()) / (1 << 20);
  std::string in = WriteTemp("packet_mem.xml", doc);
  std::string out = TempFolder() + "/packet_mem.signed.xml";
  Peak text = PeakKb("text", in, out);
  Peak file = PeakKb("file", in, out);
  std::printf(
      "\nPeak memory of one Root (test mode) on the %.1f MB packet, above what a fresh "
      "process held with its input ready:\n",
      mb);
  std::printf("  SignXml (wide input held by the caller): %.1f MB = %.2f x document\n",
              text.kb / 1024.0, text.kb / 1024.0 / mb);
  std::printf("    of which the returned UTF-16 text:     %.1f MB = %.2f x document\n",
              text.resultKb / 1024.0, text.resultKb / 1024.0 / mb);
  std::printf("  SignFile (file to file):                 %.1f MB = %.2f x document\n",
              file.kb / 1024.0, file.kb / 1024.0 / mb);
}

}  // namespace

int main(int argc, char** argv) {
  bool memoryOnly = false;
  std::vector<char*> args;
  if (argc == 5 && std::strcmp(argv[1], "--memory-case") == 0) {
    Peak peak = MeasureCase(argv[2], argv[3], argv[4]);
    std::printf("%ld %ld\n", peak.kb, peak.resultKb);
    return 0;
  }
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--memory-only") == 0) {
      memoryOnly = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(args.size());
  if (!memoryOnly) {
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  MemoryReport();
  std::string dir = TempFolder();
  std::string cmd = "rm -rf '" + dir + "'";
  int rc = std::system(cmd.c_str());
  (void)rc;
  return 0;
}
