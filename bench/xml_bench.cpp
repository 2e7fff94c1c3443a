// The XML layer on a 10 MB bank-message packet (bench/packet.h), UTF-8 and windows-1251:
//   OurParse      Document::loadBytes: bytes in, full tree out, full checking
//   ExpatParse    expat on the same bytes, no handlers (windows-1251 through an unknown-
//                 encoding handler with the code page's table), measured in the same run
//   Xml           xml of the parsed root, MB/s counted on the document's size
//   TreeMemory    what the process really holds for the parsed tree, measured in a fresh
//                 process (this program started again, reading the packet from a file):
//                 resident memory after the load (tree_x) and its peak during the load
//                 (peak_x) above what the process held with the bytes read, as multiples of
//                 the document's size (the document's bytes themselves not included)
// best_MBps is the rate of the fastest iteration (thread CPU time); bytes_per_second the
// average over CPU time. Both in MiB/s.
// Goals: OurParse >= ExpatParse, Xml >= 500 MB/s, tree_x <= 4.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <fstream>

#include <unistd.h>

#if defined(LUMO_HAVE_EXPAT)
#include <expat.h>
#endif

#include "bench/packet.h"
#include "dom/dom.h"

// Rate of the least disturbed iteration, on the thread's CPU clock where there is one: on a
// shared machine averages mostly measure the other load.
class BestRate {
 public:
  void Start() { t0_ = Now(); }
  void Stop(size_t bytes) {
    double s = Now() - t0_;
    if (s > 0) best_ = std::max(best_, static_cast<double>(bytes) / s / (1 << 20));
  }
  double Best() const { return best_; }

 private:
  static double Now() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
#else
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
  }
  double t0_ = 0;
  double best_ = 0;
};

namespace {

const std::string& PacketUtf8() {
  static const std::string s = MakePacketUtf8(10u << 20);
  return s;
}
const std::string& Packet1251() {
  static const std::string s = MakePacket1251(10u << 20);
  return s;
}
const std::string& PacketOf(int which) { return which == 0 ? PacketUtf8() : Packet1251(); }

void OurParse(benchmark::State& state) {
  const std::string& bytes = PacketOf(static_cast<int>(state.range(0)));
  BestRate rate;
  for (auto _ : state) {
    rate.Start();
    Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
    bool ok = doc.loadBytes(bytes);
    rate.Stop(bytes.size());
    if (!ok) {
      state.SkipWithError("the packet did not load");
      break;
    }
    benchmark::DoNotOptimize(doc.documentElement());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["best_MBps"] = rate.Best();
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
}
BENCHMARK(OurParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2);

#if defined(LUMO_HAVE_EXPAT)
int XMLCALL Cp1251Handler(void*, const XML_Char* name, XML_Encoding* info) {
  std::string n = name;
  for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (n != "windows-1251") return XML_STATUS_ERROR;
  for (int i = 0; i < 256; ++i)
    info->map[i] = i < 0x80 ? i : lumo_packet_detail::kCp1251High[i - 0x80];
  info->data = nullptr;
  info->convert = nullptr;
  info->release = nullptr;
  return XML_STATUS_OK;
}

void ExpatParse(benchmark::State& state) {
  const std::string& bytes = PacketOf(static_cast<int>(state.range(0)));
  BestRate rate;
  for (auto _ : state) {
    rate.Start();
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUnknownEncodingHandler(p, Cp1251Handler, nullptr);
    bool ok = XML_Parse(p, bytes.data(), static_cast<int>(bytes.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    rate.Stop(bytes.size());
    if (!ok) {
      state.SkipWithError("expat rejected the packet");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["best_MBps"] = rate.Best();
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
}
BENCHMARK(ExpatParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2);
#endif

void Xml(benchmark::State& state) {
  const std::string& bytes = PacketOf(static_cast<int>(state.range(0)));
  Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
  if (!doc.loadBytes(bytes)) {
    state.SkipWithError("the packet did not load");
    return;
  }
  Lumo::Dom::Node root = doc.documentElement();
  size_t chars = 0;
  BestRate rate;
  for (auto _ : state) {
    rate.Start();
    Lumo::Base::WideString text = root.xml();
    rate.Stop(bytes.size());
    chars = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["best_MBps"] = rate.Best();
  state.counters["xml_chars"] = static_cast<double>(chars);
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
}
BENCHMARK(Xml)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2);

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n + 1, nullptr, 10);
  }
  return -1;
}

// The memory case, run in a process that has done nothing else: the file's bytes are read
// first, then the high-water mark is reset, so that the rows count the tree only. Prints
// "held_kB peak_kB", or nothing when the file does not load.
int MemoryCase(const char* file) {
  // One allocation of the exact size: storage freed while reading could otherwise be
  // reused by the tree without showing in the resident memory.
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  std::string bytes(static_cast<size_t>(in.tellg()), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return 1;
  std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the present VmRSS
  long base = StatusKb("VmRSS:");
  Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
  if (!doc.loadBytes(bytes)) return 1;
  long held = StatusKb("VmRSS:"), peak = StatusKb("VmHWM:");
  if (base < 0 || held < 0 || peak < 0) return 1;
  std::printf("%ld %ld\n", held - base, peak - base);
  return 0;
}

void TreeMemory(benchmark::State& state) {
  const std::string& bytes = PacketOf(static_cast<int>(state.range(0)));
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  char file[] = "/tmp/xml_bench_XXXXXX";
  int fd = mkstemp(file);
  bool written =
      fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (fd >= 0) close(fd);
  if (length <= 0 || !written) {
    if (fd >= 0) unlink(file);
    state.SkipWithError("cannot start the memory case");
    for (auto _ : state) {
    }
    return;
  }
  self[length] = '\0';
  const std::string command = std::string("'") + self + "' --memory-case '" + file + "'";
  long heldKb = -1, peakKb = -1;
  for (auto _ : state) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe || std::fscanf(pipe, "%ld %ld", &heldKb, &peakKb) != 2) heldKb = -1;
    if (pipe) pclose(pipe);
    if (heldKb < 0) {
      state.SkipWithError("the memory case failed");
      break;
    }
  }
  unlink(file);
  const double docKb = static_cast<double>(bytes.size()) / 1024;
  state.counters["doc_MB"] = docKb / 1024;
  state.counters["tree_x"] = static_cast<double>(heldKb) / docKb;
  state.counters["peak_x"] = static_cast<double>(peakKb) / docKb;
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
}
BENCHMARK(TreeMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--memory-case") == 0) return MemoryCase(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
