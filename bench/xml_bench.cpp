// The XML layer on a 10 MB bank-message packet (bench/packet.h), UTF-8 and windows-1251:
//   OurParse      Document::loadBytes: bytes in, full tree out, full checking
//   ExpatParse    expat on the same bytes, no handlers (windows-1251 through an unknown-
//                 encoding handler with the code page's table), measured in the same run
//   Xml           xml of the parsed root, MB/s counted on the document's size
//   TreeMemory    memory of the parsed tree: bytes still allocated after the load (tree_x)
//                 and the peak during the load (peak_x), as multiples of the document's size,
//                 counted by this program's global operator new/delete and by mallinfo2
// Goals: OurParse >= ExpatParse, Xml >= 500 MB/s, tree_x <= 4.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(LUMO_HAVE_EXPAT)
#include <expat.h>
#endif

#include "bench/packet.h"
#include "util/dom.h"

// --- Counting allocator ------------------------------------------------------------------
namespace {
std::atomic<size_t> gLive{0}, gPeak{0};

void* Counted(size_t n) {
  void* p = std::malloc(n + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<size_t*>(p) = n;
  size_t live = gLive.fetch_add(n, std::memory_order_relaxed) + n;
  size_t peak = gPeak.load(std::memory_order_relaxed);
  while (live > peak && !gPeak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
  return static_cast<char*>(p) + 16;
}

void Uncounted(void* p) noexcept {
  if (!p) return;
  char* base = static_cast<char*>(p) - 16;
  gLive.fetch_sub(*reinterpret_cast<size_t*>(base), std::memory_order_relaxed);
  std::free(base);
}
}  // namespace

void* operator new(size_t n) { return Counted(n); }
void* operator new[](size_t n) { return Counted(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try { return Counted(n); } catch (...) { return nullptr; }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  try { return Counted(n); } catch (...) { return nullptr; }
}
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, size_t) noexcept { Uncounted(p); }
// Over-aligned allocations are not used by the code measured here; keep them working.
void* operator new(size_t n, std::align_val_t a) {
  void* p = std::aligned_alloc(static_cast<size_t>(a), (n + static_cast<size_t>(a) - 1) /
                                                           static_cast<size_t>(a) * static_cast<size_t>(a));
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }

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
  for (auto _ : state) {
    Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
    bool ok = doc.loadBytes(bytes);
    if (!ok) {
      state.SkipWithError("the packet did not load");
      break;
    }
    benchmark::DoNotOptimize(doc.documentElement());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
}
BENCHMARK(OurParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2);

#if defined(LUMO_HAVE_EXPAT)
int XMLCALL Cp1251Handler(void*, const XML_Char* name, XML_Encoding* info) {
  if (strcasecmp(name, "windows-1251") != 0) return XML_STATUS_ERROR;
  for (int i = 0; i < 256; ++i)
    info->map[i] = i < 0x80 ? i : lumo_packet_detail::kCp1251High[i - 0x80];
  info->data = nullptr;
  info->convert = nullptr;
  info->release = nullptr;
  return XML_STATUS_OK;
}

void ExpatParse(benchmark::State& state) {
  const std::string& bytes = PacketOf(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUnknownEncodingHandler(p, Cp1251Handler, nullptr);
    bool ok = XML_Parse(p, bytes.data(), static_cast<int>(bytes.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    if (!ok) {
      state.SkipWithError("expat rejected the packet");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
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
  for (auto _ : state) {
    Lumo::WideString text = root.xml();
    chars = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["xml_chars"] = static_cast<double>(chars);
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
}
BENCHMARK(Xml)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2);

size_t MallocInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
#else
  return 0;
#endif
}

void TreeMemory(benchmark::State& state) {
  const std::string& bytes = PacketOf(static_cast<int>(state.range(0)));
  double treeX = 0, peakX = 0, mallocX = 0;
  for (auto _ : state) {
    size_t base = gLive.load();
    size_t mallocBase = MallocInUse();
    gPeak.store(base);
    Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
    bool ok = doc.loadBytes(bytes);
    size_t after = gLive.load(), peak = gPeak.load();
    size_t mallocAfter = MallocInUse();
    if (!ok) {
      state.SkipWithError("the packet did not load");
      break;
    }
    treeX = static_cast<double>(after - base) / static_cast<double>(bytes.size());
    peakX = static_cast<double>(peak - base) / static_cast<double>(bytes.size());
    mallocX = mallocAfter > mallocBase
                  ? static_cast<double>(mallocAfter - mallocBase) / static_cast<double>(bytes.size())
                  : 0.0;
  }
  state.counters["doc_MB"] = static_cast<double>(bytes.size()) / (1 << 20);
  state.counters["tree_x"] = treeX;
  state.counters["peak_x"] = peakX;
  state.counters["malloc_tree_x"] = mallocX;
  state.SetLabel(state.range(0) == 0 ? "UTF-8" : "windows-1251");
}
BENCHMARK(TreeMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
