// libspki1.so through the library's own provider binding (TSignatura), as the key
// profiles use it.
#include "base/errors.h"
#include "provider/signatura.h"
#include "spki1_test_support.h"

using namespace spki1test;
using Lumo::Provider::TSignatura;

namespace {

constexpr uint32_t kSilent = VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT;  // 0x841

class Binding : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Home::Get();
    Lumo::Provider::SetProviderLibraryName(LibraryPath());
  }
  static std::string Text(uint32_t status) {
    char buf[1024];
    return Provider::Get().GetErrorText(status, buf, sizeof buf);
  }
};

TEST_F(Binding, SignAndVerifyGost) {
  const char* profiles[] = {Gost256(), Gost512()};
  for (const char* name : profiles) {
    uint32_t ctx = TSignatura::Initialize(name, kSilent);
    std::string data = Message();
    std::string sig = TSignatura::SignDetached(ctx, data, 0);
    ASSERT_GT(sig.size(), 100u);
    EXPECT_NO_THROW(TSignatura::VerifyDetached(ctx, data, sig, 0));
    data[10] ^= 1;
    try {
      TSignatura::VerifyDetached(ctx, data, sig, 0);
      ADD_FAILURE() << "a changed byte verified";
    } catch (const Lumo::Base::ESignaturaError& e) {
      EXPECT_EQ(e.Message(), Text(SPKI1_SIGNER_DIGEST_MISMATCH));
      EXPECT_EQ(e.FunctionName, "");
    }
    TSignatura::Uninitialize(ctx);
  }
}

TEST_F(Binding, EmptyData) {
  uint32_t ctx = TSignatura::Initialize(Gost256(), kSilent);
  std::string sig = TSignatura::SignDetached(ctx, std::string(), 0);
  EXPECT_NO_THROW(TSignatura::VerifyDetached(ctx, std::string(), sig, 0));
  TSignatura::Uninitialize(ctx);
}

TEST_F(Binding, UnknownProfileCarriesTheProviderText) {
  try {
    TSignatura::Initialize("NoSuchProfile", kSilent);
    ADD_FAILURE() << "opened";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_EQ(e.Message(), "E0700010: " + Text(SPKI1_E_PROFILE_NOT_FOUND));
    EXPECT_EQ(e.FunctionName, "VCERT_Initialize");
  }
}

TEST_F(Binding, SilentPinRequired) {
  Locked();
  unsetenv("SPKI1_PIN");
  try {
    TSignatura::Initialize("locked", kSilent);
    ADD_FAILURE() << "opened";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_EQ(e.Message(), "E0700013: " + Text(SPKI1_E_PIN_REQUIRED));
  }
}

TEST_F(Binding, SecondUninitializeIsAnError) {
  uint32_t ctx = TSignatura::Initialize(Gost256(), kSilent);
  TSignatura::Uninitialize(ctx);
  try {
    TSignatura::Uninitialize(ctx);
    ADD_FAILURE() << "released twice";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_EQ(e.Message(), "E0700003: " + Text(SPKI1_E_INVALID_CONTEXT));
    EXPECT_EQ(e.FunctionName, "VCERT_Uninitialize");
  }
}

TEST_F(Binding, UnreadableSignature) {
  uint32_t ctx = TSignatura::Initialize(Gost256(), kSilent);
  try {
    TSignatura::VerifyDetached(ctx, "data", "not a signature", 0);
    ADD_FAILURE() << "verified";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_EQ(e.Message(), "E0700020: " + Text(SPKI1_E_CMS_MALFORMED));
    EXPECT_EQ(e.FunctionName, "VCERT_CmsBlkDetVerifyMem");
  }
  TSignatura::Uninitialize(ctx);
}

TEST_F(Binding, UntrustedSigner) {
  uint32_t stranger = TSignatura::Initialize(Stranger(), kSilent);
  std::string sig = TSignatura::SignDetached(stranger, "m", 0);
  TSignatura::Uninitialize(stranger);
  uint32_t ctx = TSignatura::Initialize(Gost256(), kSilent);
  try {
    TSignatura::VerifyDetached(ctx, "m", sig, 0);
    ADD_FAILURE() << "verified";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_EQ(e.Message(), Text(SPKI1_SIGNER_UNTRUSTED));
  }
  TSignatura::Uninitialize(ctx);
}

TEST_F(Binding, UnloadAndLoadAgain) {
  // The provider library is released and loaded again; it starts afresh.
  for (int round = 0; round < 3; ++round) {
    uint32_t ctx = TSignatura::Initialize(Gost256(), kSilent);
    std::string sig = TSignatura::SignDetached(ctx, "again", 0);
    TSignatura::VerifyDetached(ctx, "again", sig, 0);
    TSignatura::Uninitialize(ctx);
    Lumo::Provider::UnloadProvider();
    EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
  }
}

}  // namespace
