// The provider binding against the test provider (test_provider_control.h).
#include "provider/signatura.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "test_provider_control.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

using Lumo::Base::ESignaturaError;
using Lumo::Provider::TSignatura;

namespace {

using namespace std::string_literals;

constexpr uint32_t kSignersFailed = 0xE0700019u;

// Runs f and returns the ESignaturaError it raised (a failure when it raised none).
template <typename F>
ESignaturaError Raised(F f) {
  try {
    f();
  } catch (const ESignaturaError& e) {
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "another exception: " << e.what();
    return ESignaturaError("<other exception>", "<other>");
  }
  ADD_FAILURE() << "no ESignaturaError raised";
  return ESignaturaError("<nothing raised>", "<none>");
}

TestProviderStats Stats() {
  TestProviderStats s;
  TestProvider_GetStats(&s);
  return s;
}

std::string FakeSignature(const std::string& profile, const std::string& data) {
  size_t n = TestProvider_Signature(profile.c_str(), data.data(), data.size(), nullptr, 0);
  std::string out(n, '\0');
  TestProvider_Signature(profile.c_str(), data.data(), data.size(), out.data(), out.size());
  return out;
}

void Script(const char* script) { ASSERT_EQ(TestProvider_Script(script), 0) << script; }

#ifndef _WIN32
// What the system says when this name cannot be loaded.
std::string DlopenError(const std::string& name) {
  void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h != nullptr) {
    dlclose(h);
    return "<loaded>";
  }
  const char* e = dlerror();
  return e != nullptr ? e : "";
}

bool LoadedInProcess(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return false;
  dlclose(h);
  return true;
}
#endif

class SignaturaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Lumo::Provider::UnloadProvider();
    Lumo::Provider::SetProviderLibraryName(LUMO_TEST_PROVIDER_PATH);
    TestProvider_Reset();
  }
  void TearDown() override {
    Lumo::Provider::UnloadProvider();
    Lumo::Provider::SetProviderLibraryName("");
    TestProvider_Reset();
  }
};

// --- State and loading -----------------------------------------------------------------

TEST_F(SignaturaTest, DefaultLibraryName) {
  Lumo::Provider::SetProviderLibraryName("");
#ifdef _WIN32
  EXPECT_EQ(Lumo::Provider::ProviderLibraryName(), "spki1.dll");
#else
  EXPECT_EQ(Lumo::Provider::ProviderLibraryName(), "libspki1.so");
#endif
  Lumo::Provider::SetProviderLibraryName("/x/y.so");
  EXPECT_EQ(Lumo::Provider::ProviderLibraryName(), "/x/y.so");
}

#ifndef _WIN32
// LUMODEZ_PROVIDER for one test; the variable is unset again whatever happens.
struct ProviderVariable {
  explicit ProviderVariable(const char* value) {
    if (value) setenv("LUMODEZ_PROVIDER", value, 1);
    else
      unsetenv("LUMODEZ_PROVIDER");
  }
  ~ProviderVariable() { unsetenv("LUMODEZ_PROVIDER"); }
};

TEST_F(SignaturaTest, LibraryNamePrecedence) {
  struct Case {
    const char* setting;
    const char* variable;  // nullptr: unset
    const char* expected;
  } cases[] = {
      {"", nullptr, "libspki1.so"},
      {"", "", "libspki1.so"},  // an empty variable counts as unset
      {"", "/vendor/libsig.so", "/vendor/libsig.so"},
      {"/app/libmine.so", "/vendor/libsig.so", "/app/libmine.so"},
      {"/app/libmine.so", nullptr, "/app/libmine.so"},
  };
  for (const Case& c : cases) {
    ProviderVariable variable(c.variable);
    Lumo::Provider::SetProviderLibraryName(c.setting);
    EXPECT_EQ(Lumo::Provider::ProviderLibraryName(), c.expected)
        << "setting \"" << c.setting << "\", variable " << (c.variable ? c.variable : "unset");
  }
}

TEST_F(SignaturaTest, VariableIsReadAtLoadAndItsFailureNamesThePath) {
  Lumo::Provider::SetProviderLibraryName("");
  {
    ProviderVariable variable(LUMO_TEST_PROVIDER_PATH);
    uint32_t context = TSignatura::Initialize("p", 0x41);
    EXPECT_TRUE(LoadedInProcess(LUMO_TEST_PROVIDER_PATH));
    TSignatura::Uninitialize(context);
  }
  Lumo::Provider::UnloadProvider();
  const std::string missing = "/nonexistent-lumo-dir/vendor-provider.so";
  ProviderVariable variable(missing.c_str());
  ESignaturaError e = Raised([] { TSignatura::Initialize("p", 0x41); });
  EXPECT_EQ(e.Message().rfind(missing, 0), 0u) << e.Message();
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
}
#endif

TEST_F(SignaturaTest, StartsUnloaded) {
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  EXPECT_EQ(Lumo::Provider::ProviderLoadError(), "");
}

TEST_F(SignaturaTest, LoadAndUnloadByName) {
  uint32_t before = Lumo::Provider::ProviderLoadCount();
  EXPECT_TRUE(Lumo::Provider::LoadProvider(LUMO_TEST_PROVIDER_PATH));
  EXPECT_TRUE(Lumo::Provider::ProviderLoaded());
  EXPECT_EQ(Lumo::Provider::ProviderLoadError(), "");
  EXPECT_EQ(Lumo::Provider::ProviderLoadCount(), before + 1);
  // An empty name loads the library name variable; loading unloads first.
  EXPECT_TRUE(Lumo::Provider::LoadProvider(""));
  EXPECT_EQ(Lumo::Provider::ProviderLoadCount(), before + 2);
  Lumo::Provider::UnloadProvider();
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  Lumo::Provider::UnloadProvider();  // twice is harmless
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
}

#ifndef _WIN32
TEST_F(SignaturaTest, MissingLibraryByPathGivesTheSystemText) {
  const std::string path = "/nonexistent-lumo-dir/libspki1.so";
  Lumo::Provider::SetProviderLibraryName(path);
  ESignaturaError e = Raised([] { TSignatura::Initialize("p", 0x41); });
  EXPECT_EQ(e.Message(), DlopenError(path));
  EXPECT_NE(e.Message().find("No such file or directory"), std::string::npos) << e.Message();
  EXPECT_EQ(e.FunctionName, "");
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  EXPECT_EQ(Lumo::Provider::ProviderLoadError(), e.Message());
  EXPECT_FALSE(Lumo::Provider::LoadProvider(""));

  // The next Initialize tries to load again.
  Lumo::Provider::SetProviderLibraryName(LUMO_TEST_PROVIDER_PATH);
  uint32_t context = TSignatura::Initialize("p", 0x41);
  EXPECT_NE(context, 0u);
  EXPECT_TRUE(Lumo::Provider::ProviderLoaded());
  EXPECT_EQ(Lumo::Provider::ProviderLoadError(), "");
  TSignatura::Uninitialize(context);
}

TEST_F(SignaturaTest, MissingLibraryBySearchGivesTheSystemText) {
  const std::string name = "liblumo-no-such-provider.so";
  Lumo::Provider::SetProviderLibraryName(name);
  ESignaturaError e = Raised([] { TSignatura::Initialize("p", 0x41); });
  EXPECT_EQ(e.Message(), DlopenError(name));
  EXPECT_NE(e.Message().find(name), std::string::npos) << e.Message();
  EXPECT_EQ(e.FunctionName, "");
}

TEST_F(SignaturaTest, LibraryWithoutGetErrorTextIsNotKept) {
  // Our choice: the library is released again and the load fails with a clear message.
  const std::string path = LUMO_TEST_PROVIDER_NO_ERRORTEXT_PATH;
  uint32_t before = Lumo::Provider::ProviderLoadCount();
  EXPECT_FALSE(Lumo::Provider::LoadProvider(path));
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  EXPECT_EQ(Lumo::Provider::ProviderLoadError(),
            "В библиотеке криптопровайдера " + path + " нет функции VCERT_GetErrorText");
  EXPECT_FALSE(LoadedInProcess(path));
  EXPECT_EQ(Lumo::Provider::ProviderLoadCount(), before);

  Lumo::Provider::SetProviderLibraryName(path);
  ESignaturaError e = Raised([] { TSignatura::Initialize("p", 0x41); });
  EXPECT_EQ(e.Message(),
            "В библиотеке криптопровайдера " + path + " нет функции VCERT_GetErrorText");
  EXPECT_EQ(e.FunctionName, "");
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  EXPECT_FALSE(LoadedInProcess(path));
  // Nothing else proceeds on the rejected library.
  ESignaturaError s = Raised([] { TSignatura::SignDetached(0x1001, "abc", 0); });
  EXPECT_EQ(s.Message(), e.Message());
  EXPECT_EQ(s.FunctionName, "");
}

TEST_F(SignaturaTest, MissingEntryPointsRaiseNamingThem) {
  const std::string path = LUMO_TEST_PROVIDER_ONLY_ERRORTEXT_PATH;
  ASSERT_TRUE(Lumo::Provider::LoadProvider(path));
  auto expectMissing = [&](const ESignaturaError& e, const std::string& name) {
    EXPECT_EQ(e.Message(), "В библиотеке криптопровайдера " + path + " нет функции " + name);
    EXPECT_EQ(e.FunctionName, name);
  };
  Lumo::Provider::SetProviderLibraryName(path);
  expectMissing(Raised([] { TSignatura::Initialize("p", 0x41); }), "VCERT_Initialize");
  expectMissing(Raised([] { TSignatura::Uninitialize(1); }), "VCERT_Uninitialize");
  expectMissing(Raised([] { TSignatura::SignDetached(1, "data", 0); }), "VCERT_CmsBlkDetSignMem");
  expectMissing(Raised([] { TSignatura::VerifyDetached(1, "data", "sig", 0); }),
                "VCERT_CmsBlkDetVerifyMem");
  // The error texts still come from the provider's VCERT_GetErrorText.
  EXPECT_EQ(TSignatura::ErrorText(TP_STATUS_NO_KEYSET), "test provider: keyset does not exist");
  EXPECT_TRUE(Lumo::Provider::ProviderLoaded());
}

TEST_F(SignaturaTest, MissingFreeFunctionsRaiseBeforeTheProviderIsCalled) {
  const std::string path = LUMO_TEST_PROVIDER_NO_FREE_PATH;
  Lumo::Provider::SetProviderLibraryName(path);
  uint32_t context = TSignatura::Initialize("p", 0x41);
  ESignaturaError s = Raised([&] { TSignatura::SignDetached(context, "data", 0); });
  EXPECT_EQ(s.FunctionName, "VCERT_FreeMem");
  EXPECT_EQ(s.Message(), "В библиотеке криптопровайдера " + path + " нет функции VCERT_FreeMem");
  ESignaturaError v = Raised([&] { TSignatura::VerifyDetached(context, "data", "sig", 0); });
  EXPECT_EQ(v.FunctionName, "VCERT_FreeVerifyResult");

  // That variant's own counters: sign and verify were never called.
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  auto getStats = reinterpret_cast<PFN_TestProvider_GetStats>(dlsym(h, "TestProvider_GetStats"));
  ASSERT_NE(getStats, nullptr);
  TestProviderStats st;
  getStats(&st);
  EXPECT_EQ(st.signCalls, 0u);
  EXPECT_EQ(st.verifyCalls, 0u);
  EXPECT_EQ(st.openContexts, 1);
  TSignatura::Uninitialize(context);
  getStats(&st);
  EXPECT_EQ(st.openContexts, 0);
  dlclose(h);
}
#endif

TEST_F(SignaturaTest, CloseSignVerifyBeforeAnyLoadDoNotLoad) {
  uint32_t before = Lumo::Provider::ProviderLoadCount();
  for (auto* op : {+[] { TSignatura::Uninitialize(0x1001); },
                   +[] { TSignatura::SignDetached(0x1001, "data", 0); },
                   +[] { TSignatura::VerifyDetached(0x1001, "data", "sig", 0); }}) {
    ESignaturaError e = Raised(op);
    EXPECT_EQ(e.Message(), "");
    EXPECT_EQ(e.FunctionName, "");
  }
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  EXPECT_EQ(Lumo::Provider::ProviderLoadCount(), before);
  EXPECT_EQ(Stats().uninitializeCalls, 0u);
}

TEST_F(SignaturaTest, CloseAfterAFailedLoadCarriesTheLoadError) {
  Lumo::Provider::SetProviderLibraryName("/nonexistent-lumo-dir/libspki1.so");
  ESignaturaError first = Raised([] { TSignatura::Initialize("p", 0x41); });
  ASSERT_FALSE(first.Message().empty());
  ESignaturaError e = Raised([] { TSignatura::Uninitialize(0x1001); });
  EXPECT_EQ(e.Message(), first.Message());
  EXPECT_EQ(e.FunctionName, "");
  ESignaturaError s = Raised([] { TSignatura::SignDetached(0x1001, "", 0); });
  EXPECT_EQ(s.Message(), first.Message());
}

// --- Initialize and Uninitialize --------------------------------------------------------

TEST_F(SignaturaTest, InitializeLoadsOnFirstUseAndOpensAContext) {
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  uint32_t context = TSignatura::Initialize("Профиль 1", 0x841);
  EXPECT_TRUE(Lumo::Provider::ProviderLoaded());
  EXPECT_NE(context, 0u);
  TestProviderStats st = Stats();
  EXPECT_EQ(st.openContexts, 1);
  EXPECT_EQ(st.lastInitFlags, 0x841u);
  EXPECT_STREQ(st.lastProfile, "Профиль 1");
  uint32_t second = TSignatura::Initialize("other", 0x41);
  EXPECT_NE(second, context);
  EXPECT_EQ(Stats().openContexts, 2);
  TSignatura::Uninitialize(context);
  TSignatura::Uninitialize(second);
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_EQ(Stats().badContexts, 0u);
}

TEST_F(SignaturaTest, InitializeFailureWithProviderText) {
  Script("init=80090016");
  ESignaturaError e = Raised([] { TSignatura::Initialize("p", 0x41); });
  EXPECT_EQ(e.Message(), "80090016: test provider: keyset does not exist");
  EXPECT_EQ(e.FunctionName, "VCERT_Initialize");
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(SignaturaTest, InitializeFailureWithoutProviderText) {
  Script("init=0000002A");
  ESignaturaError e = Raised([] { TSignatura::Initialize("p", 0x41); });
  EXPECT_EQ(e.Message(), "0000002A: Неизвестный код шибки (0000002A)");
  EXPECT_EQ(e.FunctionName, "VCERT_Initialize");
}

#ifndef _WIN32
TEST_F(SignaturaTest, ProviderTextIsUtf8AsItIs) {
  Script("init=E0700030;text=E0700030:Ключевой носитель не найден");
  ESignaturaError e = Raised([] { TSignatura::Initialize("p", 0x41); });
  EXPECT_EQ(e.Message(), "E0700030: Ключевой носитель не найден");
}
#endif

TEST_F(SignaturaTest, UninitializeFailure) {
  uint32_t context = TSignatura::Initialize("p", 0x41);
  Script("uninit=E0700031;text=E0700031:cannot close");
  ESignaturaError e = Raised([&] { TSignatura::Uninitialize(context); });
  EXPECT_EQ(e.Message(), "E0700031: cannot close");
  EXPECT_EQ(e.FunctionName, "VCERT_Uninitialize");
  Script("uninit=0");
  TSignatura::Uninitialize(context);
  // A context the provider does not know: the provider's status.
  ESignaturaError u = Raised([&] { TSignatura::Uninitialize(context); });
  EXPECT_EQ(u.Message(), "E0700021: test provider: unknown context");
  EXPECT_EQ(u.FunctionName, "VCERT_Uninitialize");
}

#ifndef _WIN32
// Against a provider whose load takes 40 ms: without the lock the threads would all load.
TEST_F(SignaturaTest, ConcurrentFirstInitializeOfASlowLoadLoadsOnce) {
  constexpr int kThreads = 8;
  const std::string path = LUMO_TEST_PROVIDER_SLOW_PATH;
  Lumo::Provider::SetProviderLibraryName(path);
  for (int round = 0; round < 4; ++round) {
    Lumo::Provider::UnloadProvider();
    ASSERT_FALSE(LoadedInProcess(path));  // each round really loads the file
    uint32_t before = Lumo::Provider::ProviderLoadCount();
    std::latch start(kThreads);
    std::vector<uint32_t> contexts(kThreads, 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        try {
          contexts[i] = TSignatura::Initialize("p", 0x41);
        } catch (...) {
          ++failures;
        }
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_EQ(Lumo::Provider::ProviderLoadCount(), before + 1) << "round " << round;
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    auto openContexts =
        reinterpret_cast<int32_t(VCERT_CALL*)(void)>(dlsym(h, "TestProvider_OpenContexts"));
    ASSERT_NE(openContexts, nullptr);
    EXPECT_EQ(openContexts(), kThreads);
    for (uint32_t c : contexts) TSignatura::Uninitialize(c);
    EXPECT_EQ(openContexts(), 0);
    dlclose(h);
  }
}
#endif

TEST_F(SignaturaTest, ConcurrentFirstInitializeLoadsOnce) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 25; ++round) {
    Lumo::Provider::UnloadProvider();
    uint32_t before = Lumo::Provider::ProviderLoadCount();
    std::latch start(kThreads);
    std::vector<uint32_t> contexts(kThreads, 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        try {
          contexts[i] = TSignatura::Initialize("p" + std::to_string(i), 0x41);
        } catch (...) {
          ++failures;
        }
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_EQ(Lumo::Provider::ProviderLoadCount(), before + 1) << "round " << round;
    ASSERT_EQ(Stats().openContexts, kThreads);
    for (uint32_t c : contexts) TSignatura::Uninitialize(c);
    ASSERT_EQ(Stats().openContexts, 0);
  }
}

TEST_F(SignaturaTest, ConcurrentSignAndVerify) {
  constexpr int kThreads = 6;
  uint32_t context = TSignatura::Initialize("p", 0x41);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 200; ++k) {
        std::string data = "data " + std::to_string(i) + "/" + std::to_string(k);
        try {
          std::string sig = TSignatura::SignDetached(context, data, 0);
          if (sig != FakeSignature("p", data)) ++failures;
          TSignatura::VerifyDetached(context, data, sig, 0);
        } catch (...) {
          ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  TestProviderStats st = Stats();
  EXPECT_EQ(st.signCalls, kThreads * 200u);
  EXPECT_EQ(st.freeMemCalls, st.signCalls);
  EXPECT_EQ(st.freeVerifyResultCalls, st.verifyCalls);
  EXPECT_EQ(st.outstandingSignatures, 0);
  EXPECT_EQ(st.outstandingVerifyResults, 0);
  TSignatura::Uninitialize(context);
}

// --- SignDetached ------------------------------------------------------------------------

TEST_F(SignaturaTest, SignReturnsExactlyTheProviderBytesAndFreesOnce) {
  uint32_t context = TSignatura::Initialize("key", 0x41);
  const std::string data = "payload\0with zero"s;
  std::string sig = TSignatura::SignDetached(context, data, 0);
  std::string expected = FakeSignature("key", data);
  EXPECT_EQ(sig, expected);
  EXPECT_EQ(sig.size(), 5 + 3 + 1 + data.size() + 5);
  EXPECT_EQ(sig.substr(0, 5), "SIG\0:"s);
  EXPECT_EQ(sig.substr(sig.size() - 5), "\0\0END"s);
  TestProviderStats st = Stats();
  EXPECT_EQ(st.signCalls, 1u);
  EXPECT_EQ(st.freeMemCalls, 1u);
  EXPECT_EQ(st.outstandingSignatures, 0);
  EXPECT_EQ(st.badFrees, 0u);
  EXPECT_EQ(st.badRecords, 0u);
  EXPECT_EQ(st.lastSignContext, context);
  EXPECT_EQ(st.lastSignFlags, 0u);
  EXPECT_EQ(st.lastSignReserved, 0u);
  EXPECT_EQ(st.lastDataLength, data.size());
  EXPECT_EQ(st.lastReservedBlobEmpty, 1);
  EXPECT_EQ(st.lastSignatureBlobZeroed, 1);

  for (int i = 0; i < 5; ++i) TSignatura::SignDetached(context, "x", 7);
  st = Stats();
  EXPECT_EQ(st.lastSignFlags, 7u);
  EXPECT_EQ(st.signCalls, 6u);
  EXPECT_EQ(st.freeMemCalls, 6u);
  EXPECT_EQ(st.outstandingSignatures, 0);
  EXPECT_EQ(st.badFrees, 0u);
  TSignatura::Uninitialize(context);
}

TEST_F(SignaturaTest, SignEmptyDataPassesANonNullAddress) {
  uint32_t context = TSignatura::Initialize("key", 0x41);
  std::string sig = TSignatura::SignDetached(context, std::string(), 0);
  TestProviderStats st = Stats();
  EXPECT_EQ(st.lastDataLength, 0u);
  EXPECT_EQ(st.lastDataAddressNull, 0);
  EXPECT_EQ(sig, FakeSignature("key", ""));
  EXPECT_EQ(st.freeMemCalls, 1u);
  TSignatura::Uninitialize(context);
}

TEST_F(SignaturaTest, SignFailureReleasesNothing) {
  uint32_t context = TSignatura::Initialize("key", 0x41);
  Script("sign=80091008@1");  // the first call succeeds, later ones fail
  TSignatura::SignDetached(context, "one", 0);
  ESignaturaError e = Raised([&] { TSignatura::SignDetached(context, "two", 0); });
  EXPECT_EQ(e.Message(), "80091008: Неизвестный код шибки (80091008)");
  EXPECT_EQ(e.FunctionName, "VCERT_CmsBlkDetSignMem");
  TestProviderStats st = Stats();
  EXPECT_EQ(st.signCalls, 2u);
  EXPECT_EQ(st.freeMemCalls, 1u);
  EXPECT_EQ(st.badFrees, 0u);
  TSignatura::Uninitialize(context);
}

TEST_F(SignaturaTest, SignWithUnknownContextReportsTheProviderStatus) {
  ASSERT_TRUE(Lumo::Provider::LoadProvider(""));
  ESignaturaError e = Raised([] { TSignatura::SignDetached(0x7777, "x", 0); });
  EXPECT_EQ(e.Message(), "E0700021: test provider: unknown context");
  EXPECT_EQ(e.FunctionName, "VCERT_CmsBlkDetSignMem");
  EXPECT_EQ(Stats().freeMemCalls, 0u);
}

// --- VerifyDetached ----------------------------------------------------------------------

class VerifyTest : public SignaturaTest {
 protected:
  void SetUp() override {
    SignaturaTest::SetUp();
    context = TSignatura::Initialize("key", 0x41);
    signature = TSignatura::SignDetached(context, data, 0);
  }
  void TearDown() override {
    TestProviderStats st = Stats();
    EXPECT_EQ(st.outstandingVerifyResults, 0);
    EXPECT_EQ(st.badFrees, 0u);
    EXPECT_EQ(st.badRecords, 0u);
    Script("reset");
    SignaturaTest::TearDown();
  }
  uint32_t context = 0;
  std::string data = "<doc>\0data</doc>"s;
  std::string signature;
};

TEST_F(VerifyTest, GoodSignatureReturnsNormally) {
  TSignatura::VerifyDetached(context, data, signature, 0);
  TestProviderStats st = Stats();
  EXPECT_EQ(st.verifyCalls, 1u);
  EXPECT_EQ(st.freeVerifyResultCalls, 1u);
  EXPECT_EQ(st.lastVerifyContext, context);
  EXPECT_EQ(st.lastVerifyDataLength, data.size());
  EXPECT_EQ(st.lastVerifySignatureLength, signature.size());
  EXPECT_EQ(st.lastVerifyWords[0], 0u);
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(st.lastVerifyWords[i], 0u) << i;
  EXPECT_EQ(st.lastVerifyWords[11], 0x7FFFFu);
  TSignatura::VerifyDetached(context, data, signature, 5);
  EXPECT_EQ(Stats().lastVerifyWords[0], 5u);
}

TEST_F(VerifyTest, EmptyDataHasANonNullAddress) {
  std::string sig = TSignatura::SignDetached(context, "", 0);
  TSignatura::VerifyDetached(context, "", sig, 0);
  EXPECT_EQ(Stats().lastVerifyDataAddressNull, 0);
  EXPECT_EQ(Stats().lastVerifyDataLength, 0u);
}

TEST_F(VerifyTest, BadSignatureRaisesTheSignerText) {
  std::string changed = data;
  changed[1] = 'x';
  ESignaturaError e = Raised([&] { TSignatura::VerifyDetached(context, changed, signature, 0); });
  EXPECT_EQ(e.Message(), "test provider: the signature does not match the data");
  EXPECT_EQ(e.FunctionName, "");
  EXPECT_EQ(Stats().freeVerifyResultCalls, 1u);
}

// A result that does not say "every signer good, and there is one" raises, whatever the
// status claims: the provider's own verdicts are not taken on trust.
TEST_F(VerifyTest, AResultThatNamesNoGoodSignerRaises) {
  const struct {
    const char* script;
    const char* message;
  } kCases[] = {
      {"verify=E0700019;signers=0,0", "E0700019: test provider: one or more signers failed"},
      {"verify=E0700019;signers=", "E0700019: test provider: one or more signers failed"},
      {"result=0:E0700040;text=E0700040:revoked", "revoked"},
      {"result=0:0,E0700040,0;text=E0700040:revoked", "revoked"},
      {"result=0:E0700042;text=E0700042:", "E0700019: test provider: one or more signers failed"},
      {"signers=", "Криптопровайдер не сообщил ни одной подписи"},
  };
  uint32_t released = Stats().freeVerifyResultCalls;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.script);
    Script("verify=0");  // each case's items replace the last one's
    Script(c.script);
    ESignaturaError e = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
#ifndef _WIN32
    EXPECT_EQ(e.Message(), c.message);
#endif
    EXPECT_EQ(e.FunctionName, "");
    EXPECT_EQ(Stats().freeVerifyResultCalls, ++released);
    EXPECT_EQ(Stats().outstandingVerifyResults, 0);
  }
  // Status 0 with good entries only is a verified signature, however many signers.
  Script("verify=0;result=0:0,0");
  TSignatura::VerifyDetached(context, data, signature, 0);
}

TEST_F(VerifyTest, SignersFailedWithOneFailingEntry) {
  Script("verify=E0700019;signers=0,E0700040;text=E0700040:Сертификат отозван");
  ESignaturaError e = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
#ifndef _WIN32
  EXPECT_EQ(e.Message(), "Сертификат отозван");
#endif
  EXPECT_EQ(e.FunctionName, "");
  EXPECT_EQ(Stats().freeVerifyResultCalls, 1u);
}

TEST_F(VerifyTest, SignersFailedWithTwoFailingEntriesJoinsWithCrLf) {
  Script("verify=E0700019;signers=E0700040,0,E0700041;text=E0700040:first;text=E0700041:second");
  ESignaturaError e = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
  EXPECT_EQ(e.Message(), "first\r\nsecond");
  EXPECT_EQ(e.FunctionName, "");
  EXPECT_EQ(Stats().freeVerifyResultCalls, 1u);
  // A signer code the provider has no text for.
  Script("signers=E0700040,E07000AA");
  ESignaturaError u = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
  EXPECT_EQ(u.Message(), "first\r\nНеизвестный код шибки (E07000AA)");
}

TEST_F(VerifyTest, SignersFailedWithOnlyEmptyTextsStillRaises) {
  // Our choice: never pass a failed verification because the provider's text was empty.
  Script("verify=E0700019;signers=E0700042;text=E0700042:");
  ESignaturaError e = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
  EXPECT_EQ(e.Message(), "E0700019: test provider: one or more signers failed");
  EXPECT_EQ(e.FunctionName, "");
  // Two empty texts: the joined text "\r\n" is not empty.
  Script("signers=E0700042,E0700042");
  ESignaturaError two = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
  EXPECT_EQ(two.Message(), "\r\n");
}

TEST_F(VerifyTest, OtherStatusRaisesWithCodeAndReleasesNothing) {
  Script("verify=80091004;text=80091004:bad message");
  ESignaturaError e = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
  EXPECT_EQ(e.Message(), "80091004: bad message");
  EXPECT_EQ(e.FunctionName, "VCERT_CmsBlkDetVerifyMem");
  EXPECT_EQ(Stats().freeVerifyResultCalls, 0u);
  Script("verify=80091005");
  ESignaturaError n = Raised([&] { TSignatura::VerifyDetached(context, data, signature, 0); });
  EXPECT_EQ(n.Message(), "80091005: Неизвестный код шибки (80091005)");
}

// --- ErrorText, CheckResult, CreateCode --------------------------------------------------

TEST_F(SignaturaTest, ErrorTextOfAnUnknownCode) {
  ASSERT_TRUE(Lumo::Provider::LoadProvider(""));
  EXPECT_EQ(TSignatura::ErrorText(42), "Неизвестный код шибки (0000002A)");
  EXPECT_EQ(TSignatura::ErrorText(0xABCDEF01u), "Неизвестный код шибки (ABCDEF01)");
  EXPECT_EQ(TSignatura::ErrorText(kSignersFailed), "test provider: one or more signers failed");
  EXPECT_GE(Stats().getErrorTextCalls, 3u);
}

TEST_F(SignaturaTest, ErrorTextWithoutALibrary) {
  EXPECT_EQ(TSignatura::ErrorText(42), "Неизвестный код шибки (0000002A)");
}

TEST_F(SignaturaTest, CheckResultAndCreateCode) {
  ASSERT_TRUE(Lumo::Provider::LoadProvider(""));
  TSignatura::CheckResult(0, "VCERT_Anything");
  ESignaturaError e = Raised([] { TSignatura::CheckResult(TP_STATUS_NO_KEYSET, "VCERT_X"); });
  EXPECT_EQ(e.Message(), "80090016: test provider: keyset does not exist");
  EXPECT_EQ(e.FunctionName, "VCERT_X");
  ESignaturaError c = TSignatura::CreateCode(0x1A, "F");
  EXPECT_EQ(c.Message(), "0000001A: Неизвестный код шибки (0000001A)");
  EXPECT_EQ(c.FunctionName, "F");
  EXPECT_STREQ(c.what(), "0000001A: Неизвестный код шибки (0000001A)");
}

TEST_F(SignaturaTest, ProviderTextFillsTheWholeBuffer) {
  // A text longer than the 1024-byte buffer arrives cut to 1023 bytes by the provider.
  ASSERT_TRUE(Lumo::Provider::LoadProvider(""));
  std::string longText;
  for (int i = 0; i < 1200; ++i) longText += static_cast<char>('a' + i % 26);
  std::string script = "text=E0700050:" + longText;
  Script(script.c_str());
  EXPECT_EQ(TSignatura::ErrorText(0xE0700050u), longText.substr(0, 1023));
  std::string shortText(500, 'b');
  script = "text=E0700050:" + shortText;
  Script(script.c_str());
  EXPECT_EQ(TSignatura::ErrorText(0xE0700050u), shortText);
}

// --- The test provider's own script parsing (others rely on it) -------------------------

TEST_F(SignaturaTest, TestProviderScriptSyntax) {
  EXPECT_EQ(TestProvider_Script(""), 0);
  EXPECT_EQ(TestProvider_Script(" init=0x80090016 ; uninit=0"), 0);
  EXPECT_EQ(TestProvider_Script("init=zz"), 1);
  EXPECT_EQ(TestProvider_Script("text=1:a;bogus"), 2);
  EXPECT_EQ(TestProvider_Script("sign=1@x"), 1);
  EXPECT_EQ(TestProvider_Script("reset"), 0);
  // init=S@N: N calls succeed, then every call fails.
  Script("init=80090016@2");
  uint32_t a = TSignatura::Initialize("a", 0x41);
  uint32_t b = TSignatura::Initialize("b", 0x41);
  EXPECT_THROW(TSignatura::Initialize("c", 0x41), ESignaturaError);
  EXPECT_THROW(TSignatura::Initialize("c", 0x41), ESignaturaError);
  EXPECT_EQ(Stats().openContexts, 2);
  TSignatura::Uninitialize(a);
  TSignatura::Uninitialize(b);
  EXPECT_EQ(FakeSignature("k", "d"), "SIG\0:k:d\0\0END"s);
}

}  // namespace
