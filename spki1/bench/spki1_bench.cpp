// Cost of one detached CMS signature over a 3 KB message with a real GOST R 34.10-2012
// 256-bit key: bare libcrypto (CMS_sign) next to the provider's VCERT_ entry points
// (DER, then also the library's Base64 on top), and verification, bare (CMS_verify) and
// through the entry points. Time and CPU are per
// signature in µs; per_s is signatures (or verifications) per second, summed over threads. A
// throwaway profile is made by spki1-tool in a temporary SPKI1_HOME.
//
//   spki1_bench [--benchmark_filter=...]
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/base64.h"
#include "spki1_core.h"
#include "vcert_api.h"

namespace {

// The signed bytes: the file named by $SPKI1_BENCH_MESSAGE (a batch benchmark passes the
// bytes its documents sign), else 3 KB of made-up text.
const std::string& Message() {
  static const std::string m = [] {
    if (const char* name = std::getenv("SPKI1_BENCH_MESSAGE")) {
      std::string bytes;
      if (std::FILE* f = std::fopen(name, "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
        std::fclose(f);
      }
      if (!bytes.empty()) return bytes;
    }
    std::string s(3 * 1024, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = "<Doc>платёж 1234567890</Doc>\n"[i % 30];
    return s;
  }();
  return m;
}

struct Setup {
  std::string home;
  bool ok = false;
  Setup() {
    char tmpl[] = "/tmp/spki1-bench-XXXXXX";
    home = mkdtemp(tmpl);
    setenv("SPKI1_HOME", home.c_str(), 1);
    std::string cmd =
        std::string("'") + SPKI1_TOOL + "' create bench --alg gost2012-256 >/dev/null";
    ok = std::system(cmd.c_str()) == 0;
  }
  ~Setup() { std::system(("rm -rf '" + home + "'").c_str()); }
};

Setup& S() {
  static Setup s;
  return s;
}

// ---- bare libcrypto ------------------------------------------------------------------
struct Bare {
  spki1::Profile profile;
  bool ok = false;
  Bare() {
    if (!S().ok) return;
    ok = !spki1::OpenProfile("bench", spki1::PinMode::Silent, profile);
  }
};

Bare& B() {
  static Bare b;
  return b;
}

void BM_BareCmsSign(benchmark::State& state) {
  if (!B().ok) return state.SkipWithError("no profile");
  const std::string& m = Message();
  for (auto _ : state) {
    spki1::BioPtr in(BIO_new_mem_buf(m.data(), static_cast<int>(m.size())));
    spki1::CmsPtr cms(CMS_sign(B().profile.cert.get(), B().profile.key.get(), nullptr, in.get(),
                               CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    unsigned char* der = nullptr;
    int len = i2d_CMS_ContentInfo(cms.get(), &der);
    benchmark::DoNotOptimize(len);
    OPENSSL_free(der);
  }
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The reference for verifying: libcrypto's own CMS_verify of a detached signature over the
// message, the signer's certificate checked against the profile's trust store.
void BM_BareCmsVerify(benchmark::State& state) {
  if (!B().ok) return state.SkipWithError("no profile");
  const std::string& m = Message();
  std::string der;
  {
    spki1::BioPtr in(BIO_new_mem_buf(m.data(), static_cast<int>(m.size())));
    spki1::CmsPtr cms(CMS_sign(B().profile.cert.get(), B().profile.key.get(), nullptr, in.get(),
                               CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    unsigned char* p = nullptr;
    int len = cms ? i2d_CMS_ContentInfo(cms.get(), &p) : 0;
    if (len > 0) der.assign(reinterpret_cast<char*>(p), static_cast<size_t>(len));
    OPENSSL_free(p);
  }
  if (der.empty()) return state.SkipWithError("no signature to verify");
  for (auto _ : state) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    spki1::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    spki1::BioPtr in(BIO_new_mem_buf(m.data(), static_cast<int>(m.size())));
    if (!cms || CMS_verify(cms.get(), nullptr, B().profile.trust.get(), in.get(), nullptr,
                           CMS_BINARY) != 1) {
      state.SkipWithError("CMS_verify failed");
      break;
    }
  }
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_BareGostSignatureOnly(benchmark::State& state) {
  // The signature primitive with the digest of the message, without CMS.
  if (!B().ok) return state.SkipWithError("no profile");
  const std::string& m = Message();
  const EVP_MD* md = spki1::DigestForKey(B().profile.key.get());
  unsigned char sig[256];
  for (auto _ : state) {
    spki1::MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t len = sizeof sig;
    EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, B().profile.key.get());
    EVP_DigestSign(ctx.get(), sig, &len, reinterpret_cast<const unsigned char*>(m.data()),
                   m.size());
    benchmark::DoNotOptimize(len);
  }
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// ---- through the VCERT_ entry points ---------------------------------------------------
struct Vcert {
  PFN_VCERT_Initialize Initialize = nullptr;
  PFN_VCERT_Uninitialize Uninitialize = nullptr;
  PFN_VCERT_CmsBlkDetSignMem Sign = nullptr;
  PFN_VCERT_CmsBlkDetVerifyMem Verify = nullptr;
  PFN_VCERT_FreeMem FreeMem = nullptr;
  PFN_VCERT_FreeVerifyResult FreeVerifyResult = nullptr;
  Vcert() {
    if (!S().ok) return;
    void* h = dlopen(SPKI1_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!h) return;
    Initialize = reinterpret_cast<PFN_VCERT_Initialize>(dlsym(h, "VCERT_Initialize"));
    Uninitialize = reinterpret_cast<PFN_VCERT_Uninitialize>(dlsym(h, "VCERT_Uninitialize"));
    Sign = reinterpret_cast<PFN_VCERT_CmsBlkDetSignMem>(dlsym(h, "VCERT_CmsBlkDetSignMem"));
    Verify = reinterpret_cast<PFN_VCERT_CmsBlkDetVerifyMem>(dlsym(h, "VCERT_CmsBlkDetVerifyMem"));
    FreeMem = reinterpret_cast<PFN_VCERT_FreeMem>(dlsym(h, "VCERT_FreeMem"));
    FreeVerifyResult =
        reinterpret_cast<PFN_VCERT_FreeVerifyResult>(dlsym(h, "VCERT_FreeVerifyResult"));
  }
  // One signature as the binding makes it: DER copied out, provider buffer released.
  std::string SignOnce(VCERT_CONTEXT ctx, const std::string& m) const {
    VCERT_SIGN_PARAMS params{0, 0};
    VCERT_BLOB in{static_cast<uint32_t>(m.size()),
                  reinterpret_cast<uint8_t*>(const_cast<char*>(m.data()))};
    VCERT_BLOB empty{0, nullptr}, sig{0, nullptr};
    if (Sign(ctx, &params, &in, &empty, &sig) != 0) return {};
    std::string out(reinterpret_cast<char*>(sig.pbData), sig.cbData);
    FreeMem(ctx, sig.pbData);
    return out;
  }
};

const Vcert& V() {
  static Vcert v;
  return v;
}

// Each benchmark thread opens its own context.
void BM_VcertSign(benchmark::State& state) {
  if (!V().Initialize) return state.SkipWithError("libspki1.so not loaded");
  VCERT_CONTEXT ctx = 0;
  if (V().Initialize("bench", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx) != 0) {
    return state.SkipWithError("VCERT_Initialize failed");
  }
  const std::string& m = Message();
  for (auto _ : state) benchmark::DoNotOptimize(V().SignOnce(ctx, m));
  V().Uninitialize(ctx);
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_VcertSignBase64(benchmark::State& state) {
  if (!V().Initialize) return state.SkipWithError("libspki1.so not loaded");
  VCERT_CONTEXT ctx = 0;
  if (V().Initialize("bench", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx) != 0) {
    return state.SkipWithError("VCERT_Initialize failed");
  }
  const std::string& m = Message();
  for (auto _ : state) benchmark::DoNotOptimize(Lumo::Base::EncodeBase64(V().SignOnce(ctx, m)));
  V().Uninitialize(ctx);
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_VcertVerify(benchmark::State& state) {
  if (!V().Initialize) return state.SkipWithError("libspki1.so not loaded");
  VCERT_CONTEXT ctx = 0;
  if (V().Initialize("bench", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx) != 0) {
    return state.SkipWithError("VCERT_Initialize failed");
  }
  const std::string& m = Message();
  std::string sig = V().SignOnce(ctx, m);
  VCERT_VERIFY_PARAMS params{};
  params.Words[11] = 0x7FFFF;
  VCERT_BLOB in{static_cast<uint32_t>(m.size()),
                reinterpret_cast<uint8_t*>(const_cast<char*>(m.data()))};
  VCERT_BLOB s{static_cast<uint32_t>(sig.size()), reinterpret_cast<uint8_t*>(sig.data())};
  VCERT_BLOB empty{0, nullptr};
  for (auto _ : state) {
    VCERT_VERIFY_RESULT result;
    if (V().Verify(ctx, &params, &in, &s, &empty, &result) != 0) {
      state.SkipWithError("verify failed");
      break;
    }
    V().FreeVerifyResult(ctx, &result);
  }
  V().Uninitialize(ctx);
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_BareGostSignatureOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareCmsSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareCmsVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VcertSign)->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_VcertSignBase64)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VcertVerify)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
