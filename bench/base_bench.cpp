// Throughput of the support library's codecs next to memcpy of the same buffer, in one run.
// Every figure is bytes of input per second (SetBytesProcessed).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "base/base64.h"
#include "base/encoding.h"

using namespace Lumo::Base;

namespace {

constexpr size_t kBytes = 4 << 20;  // 4 MB

const std::string& RandomBytes() {
  static const std::string data = [] {
    std::string s(kBytes, '\0');
    std::mt19937 rng(1);
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
  }();
  return data;
}

const std::string& Base64Text() {
  static const std::string text = EncodeBase64(RandomBytes());
  return text;
}

// A document-like wide text: markup and digits (ASCII) mixed with Russian words.
WideString MakeText(bool cyrillic) {
  const WideString line = cyrillic
                              ? WideString(
                                    u"<\u041F\u043B\u0430\u0442\u0435\u0436 "
                                    u"\u0421\u0443\u043C\u043C\u0430=\"12345.67\">"
                                    u"\u041E\u043F\u043B\u0430\u0442\u0430 \u043F\u043E "
                                    u"\u0434\u043E\u0433\u043E\u0432\u043E\u0440\u0443 \u2116 "
                                    u"42</\u041F\u043B\u0430\u0442\u0435\u0436>\r\n")
                              : WideString(
                                    u"<ed:Payment Sum=\"12345.67\" Date=\"2026-12-07\">Payment for "
                                    u"contract 42</ed:Payment>\r\n");
  WideString w;
  w.reserve(kBytes / 2 + line.size());
  while (w.size() * 2 < kBytes) w += line;
  w.resize(kBytes / 2);  // 4 MB of UTF-16
  return w;
}

const WideString& AsciiText() {
  static const WideString w = MakeText(false);
  return w;
}
const WideString& CyrillicText() {
  static const WideString w = MakeText(true);
  return w;
}

void BM_Memcpy(benchmark::State& state) {
  const std::string& src = RandomBytes();
  std::string dst(src.size(), '\0');
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_Memcpy);

void BM_EncodeBase64(benchmark::State& state) {
  const std::string& src = RandomBytes();
  for (auto _ : state) {
    std::string text = EncodeBase64(src);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_EncodeBase64);

void BM_DecodeBase64(benchmark::State& state) {
  const std::string& text = Base64Text();
  for (auto _ : state) {
    std::string bytes = DecodeBase64(text);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_DecodeBase64);

void BM_DecodeBase64Wrapped(benchmark::State& state) {
  // 76-character lines with CR LF, as other producers write it.
  static const std::string wrapped = [] {
    const std::string& t = Base64Text();
    std::string w;
    w.reserve(t.size() + t.size() / 38 + 2);
    for (size_t i = 0; i < t.size(); i += 76) {
      w.append(t, i, 76);
      w += "\r\n";
    }
    return w;
  }();
  for (auto _ : state) {
    std::string bytes = DecodeBase64(wrapped);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(wrapped.size()));
}
BENCHMARK(BM_DecodeBase64Wrapped);

void Utf8EncodeBench(benchmark::State& state, const WideString& w) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    Utf8EncodeAppend(w, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(w.size() * 2));
}
void BM_Utf8EncodeAppend_Ascii(benchmark::State& state) { Utf8EncodeBench(state, AsciiText()); }
void BM_Utf8EncodeAppend_Cyrillic(benchmark::State& state) {
  Utf8EncodeBench(state, CyrillicText());
}
BENCHMARK(BM_Utf8EncodeAppend_Ascii);
BENCHMARK(BM_Utf8EncodeAppend_Cyrillic);

void Utf8DecodeBench(benchmark::State& state, const WideString& w) {
  const std::string bytes = Utf8Encode(w);
  for (auto _ : state) {
    WideString back = Utf8Decode(bytes);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
}
void BM_Utf8Decode_Ascii(benchmark::State& state) { Utf8DecodeBench(state, AsciiText()); }
void BM_Utf8Decode_Cyrillic(benchmark::State& state) { Utf8DecodeBench(state, CyrillicText()); }
BENCHMARK(BM_Utf8Decode_Ascii);
BENCHMARK(BM_Utf8Decode_Cyrillic);

void BM_AnsiToWideCP1251(benchmark::State& state) {
  const std::string& src = RandomBytes();
  for (auto _ : state) {
    WideString w = AnsiToWideCP(src, 1251);
    benchmark::DoNotOptimize(w.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_AnsiToWideCP1251);

}  // namespace

BENCHMARK_MAIN();
