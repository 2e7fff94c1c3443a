// The XML layer on a 10 MB bank-message packet (bench/packet.h), UTF-8 and windows-1251:
//   OurParse      Document::loadBytes: bytes in, full tree out, full checking
//   ExpatParse    expat on the same bytes, no handlers (windows-1251 through an unknown-
//                 encoding handler with the code page's table), measured in the same run
//   Xml           xml of the parsed root, MB/s counted on the document's size
//   TreeMemory    memory of the parsed tree: bytes still allocated after the load (tree_x)
//                 and the peak during the load (peak_x), as multiples of the document's size
//                 (the document's bytes themselves not included), counted by wrapping malloc
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

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cstddef>
#include <ctime>

#if defined(LUMO_HAVE_EXPAT)
#include <expat.h>
#endif

#include "bench/packet.h"
#include "dom/dom.h"

// --- Counting allocator ------------------------------------------------------------------
// The tree takes its storage from malloc (directly or through operator new), so on glibc the
// program wraps malloc and friends to count live and peak bytes (usable sizes).
namespace {
std::atomic<size_t> gLive{0}, gPeak{0};

void Add(size_t n) {
  size_t live = gLive.fetch_add(n, std::memory_order_relaxed) + n;
  size_t peak = gPeak.load(std::memory_order_relaxed);
  while (live > peak && !gPeak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}
void Sub(size_t n) { gLive.fetch_sub(n, std::memory_order_relaxed); }
}  // namespace

#if defined(__GLIBC__)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  if (p) Add(malloc_usable_size(p));
  return p;
}
void* calloc(size_t n, size_t m) {
  void* p = __libc_calloc(n, m);
  if (p) Add(malloc_usable_size(p));
  return p;
}
void* realloc(void* old, size_t n) {
  size_t before = old ? malloc_usable_size(old) : 0;
  void* p = __libc_realloc(old, n);
  if (p) {
    Sub(before);
    Add(malloc_usable_size(p));
  } else if (n == 0 && old) {
    Sub(before);
  }
  return p;
}
void free(void* p) {
  if (!p) return;
  Sub(malloc_usable_size(p));
  __libc_free(p);
}
void* memalign(size_t a, size_t n) {
  void* p = __libc_memalign(a, n);
  if (p) Add(malloc_usable_size(p));
  return p;
}
void* aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void** out, size_t a, size_t n) {
  void* p = memalign(a, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}
#define LUMO_BENCH_COUNTS_MEMORY 1
#endif

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
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
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

void TreeMemory(benchmark::State& state) {
#if !defined(LUMO_BENCH_COUNTS_MEMORY)
  state.SkipWithError("memory is counted on glibc only");
  for (auto _ : state) {
  }
  return;
#else
  const std::string& bytes = PacketOf(static_cast<int>(state.range(0)));
  double treeX = 0, peakX = 0;
  for (auto _ : state) {
    size_t base = gLive.load();
    gPeak.store(base);
    Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
    bool ok = doc.loadBytes(bytes);
    size_t after = gLive.load(), peak = gPeak.load();
    if (!ok) {
      state.SkipWithError("the packet did not load");
      break;
    }
    treeX = static_cast<double>(after - base) / static_cast<double>(bytes.size());
    peakX = static_cast<double>(peak - base) / static_cast<double>(bytes.size());
  }
  state.counters["doc_MB"] = static_cast<double>(bytes.size()) / (1 << 20);
  state.counters["tree_x"] = treeX;
  state.counters["peak_x"] = peakX;
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
#endif
}
BENCHMARK(TreeMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
