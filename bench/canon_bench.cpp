// The exchange's canonical form on the 10 MB packet (bench/packet.h), next to
// `xmllint --c14n` of the same file measured in the same run.
//
//   CanonicalFixed      CanonicalText(root, Fixed) of the parsed packet (parse not timed)
//   CanonicalNumbered   CanonicalText(R1, Numbered), R1 parsed from the fixed form (parse not
//   timed) BothForms           what a Root signature does before signing: parse the packet bytes,
//                       fixed form C0, decode C0, parse it, numbered form C1 (all timed)
//   XmllintC14N         wall time of `xmllint --c14n FILE > /dev/null` (W3C canonical XML),
//                       process start and parse included; child_cpu_ms is its user + system
//                       CPU time, to set against the CPU column of the other rows on a busy
//                       machine
//   PairedVsXmllint     rounds of: the two CanonicalText calls above (parses not timed),
//                       then one xmllint run; ratio = (fixed + numbered) / xmllint per round,
//                       median over the rounds. Pairing each measurement with a reference
//                       taken moments later keeps a machine whose speed drifts from
//                       deciding the comparison; ratio < 1 means both forms together took
//                       less time than the one W3C canonicalisation
// MB/s are counted on the packet's bytes in every row.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "base/encoding.h"
#include "base/stream.h"
#include "bench/packet.h"
#include "canon/canonical.h"
#include "dom/xml_helpers.h"

namespace {

const std::string& Packet() {
  static const std::string packet = MakePacketUtf8(10u << 20);
  return packet;
}

Lumo::Dom::Node Load(const std::string& bytes) {
  Lumo::Base::TMemoryStream stream;
  stream.Write(bytes.data(), bytes.size());
  stream.SetPosition(0);
  return Lumo::Dom::LoadXmlStream(stream);
}

const std::string& FixedForm() {
  static const std::string c0 =
      Lumo::Canon::CanonicalText(Load(Packet()), Lumo::Canon::PrefixScheme::Fixed);
  return c0;
}

void Count(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(Packet().size()));
  state.counters["MB"] = static_cast<double>(Packet().size()) / 1e6;
}

void CanonicalFixed(benchmark::State& state) {
  const std::string& packet = Packet();
  size_t out = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Lumo::Dom::Node root = Load(packet);
    state.ResumeTiming();
    std::string c0 = Lumo::Canon::CanonicalText(root, Lumo::Canon::PrefixScheme::Fixed);
    out = c0.size();
    benchmark::DoNotOptimize(c0.data());
    state.PauseTiming();
    root = Lumo::Dom::Node();  // the document is freed outside the timing
    c0 = std::string();
    state.ResumeTiming();
  }
  Count(state);
  state.counters["out_MB"] = static_cast<double>(out) / 1e6;
}

void CanonicalNumbered(benchmark::State& state) {
  const Lumo::Base::WideString wide = Lumo::Base::Utf8Decode(FixedForm());
  size_t out = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Lumo::Dom::Node r1 = Lumo::Dom::LoadXmlString(wide);
    state.ResumeTiming();
    std::string c1 = Lumo::Canon::CanonicalText(r1, Lumo::Canon::PrefixScheme::Numbered);
    out = c1.size();
    benchmark::DoNotOptimize(c1.data());
    state.PauseTiming();
    r1 = Lumo::Dom::Node();
    c1 = std::string();
    state.ResumeTiming();
  }
  Count(state);
  state.counters["out_MB"] = static_cast<double>(out) / 1e6;
}

void BothForms(benchmark::State& state) {
  const std::string& packet = Packet();
  for (auto _ : state) {
    std::string c0 = Lumo::Canon::CanonicalText(Load(packet), Lumo::Canon::PrefixScheme::Fixed);
    Lumo::Dom::Node r1 = Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(c0));
    std::string c1 = Lumo::Canon::CanonicalText(r1, Lumo::Canon::PrefixScheme::Numbered);
    benchmark::DoNotOptimize(c1.data());
  }
  Count(state);
}

// The packet written to a file for xmllint; empty when xmllint is missing.
std::string PacketFile() {
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) return {};
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumo_canon_bench_packet.xml";
  std::ofstream file(path, std::ios::binary);
  file.write(Packet().data(), static_cast<std::streamsize>(Packet().size()));
  return path;
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The xmllint command on the packet file, or empty (the benchmark then skipped).
std::string XmllintCommand(benchmark::State& state, std::string& path) {
  path = PacketFile();
  if (path.empty()) {
    state.SkipWithError("xmllint not installed (libxml2-utils)");
    return {};
  }
  return "xmllint --c14n '" + path + "' > /dev/null";
}

void XmllintC14N(benchmark::State& state) {
  std::string path;
  const std::string command = XmllintCommand(state, path);
  if (command.empty()) return;
  auto childCpu = [] {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  };
  double cpuBefore = childCpu();
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    int rc = std::system(command.c_str());
    auto stop = std::chrono::steady_clock::now();
    if (rc != 0) {
      state.SkipWithError("xmllint --c14n failed");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
  }
  std::remove(path.c_str());
  Count(state);
  if (state.iterations() > 0)
    state.counters["child_cpu_ms"] =
        (childCpu() - cpuBefore) / static_cast<double>(state.iterations());
}

void PairedVsXmllint(benchmark::State& state) {
  std::string path;
  const std::string command = XmllintCommand(state, path);
  if (command.empty()) return;
  constexpr int kRounds = 9;
  std::vector<double> ours, theirs, ratios;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      Lumo::Dom::Node root = Load(Packet());
      auto t0 = std::chrono::steady_clock::now();
      std::string c0 = Lumo::Canon::CanonicalText(root, Lumo::Canon::PrefixScheme::Fixed);
      auto t1 = std::chrono::steady_clock::now();
      root = Lumo::Dom::Node();
      Lumo::Dom::Node r1 = Lumo::Dom::LoadXmlUtf8(c0);
      auto t2 = std::chrono::steady_clock::now();
      std::string c1 = Lumo::Canon::CanonicalText(r1, Lumo::Canon::PrefixScheme::Numbered);
      auto t3 = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(c1.data());
      r1 = Lumo::Dom::Node();
      auto x0 = std::chrono::steady_clock::now();
      if (std::system(command.c_str()) != 0) {
        state.SkipWithError("xmllint --c14n failed");
        std::remove(path.c_str());
        return;
      }
      auto x1 = std::chrono::steady_clock::now();
      double both = Seconds(t0, t1) + Seconds(t2, t3);
      double reference = Seconds(x0, x1);
      ours.push_back(both);
      theirs.push_back(reference);
      ratios.push_back(both / reference);
    }
  }
  std::remove(path.c_str());
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  state.counters["both_forms_ms"] = median(ours) * 1e3;
  state.counters["xmllint_ms"] = median(theirs) * 1e3;
  state.counters["ratio"] = median(ratios);
  state.counters["rounds"] = static_cast<double>(ratios.size());
}

}  // namespace

BENCHMARK(CanonicalFixed)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(CanonicalNumbered)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BothForms)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(XmllintC14N)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(PairedVsXmllint)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
