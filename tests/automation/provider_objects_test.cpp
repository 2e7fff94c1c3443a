// The two objects against a crypto provider (the scriptable test provider): how their
// calls open and release provider contexts, and what a client sees when it fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "base/encoding.h"
#include "provider/signatura.h"
#include "test_provider_control.h"

namespace {

using Lumo::Base::WideString;

const WideString kDocument = u"<Doc xmlns=\"urn:dez-ru:ed:v2.0\"><Item>1</Item></Doc>";
constexpr int32_t kUnexpected = static_cast<int32_t>(0x8000FFFFu);

TestProviderStats Stats() {
  TestProviderStats st;
  TestProvider_GetStats(&st);
  return st;
}

class ProviderObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    Lumo::Provider::SetProviderLibraryName(LUMO_TEST_PROVIDER_PATH);
    TestProvider_Reset();
  }
};

TEST_F(ProviderObjects, DEZSignOpensAndReleasesAContextPerCall) {
  Lumo::Automation::TCBRSign sign;
  WideString value;
  ASSERT_EQ(sign.SignXml(kDocument, u"bank", 2, value), 0);
  ASSERT_EQ(sign.SignXml(kDocument, u"BANK", 3, value), 0);
  TestProviderStats st = Stats();
  EXPECT_EQ(st.initializeCalls, 2u);  // nothing is cached between calls
  EXPECT_EQ(st.uninitializeCalls, 2u);
  EXPECT_EQ(st.openContexts, 0);
  EXPECT_EQ(st.outstandingSignatures, 0);
  // Not silent: the default key-load mode follows the object's Silent setting.
  EXPECT_EQ(st.lastInitFlags, 0x41u);
  sign.put_Silent(-1);
  ASSERT_EQ(sign.SignXml(kDocument, u"bank", 2, value), 0);
  EXPECT_EQ(Stats().lastInitFlags, 0x841u);
}

TEST_F(ProviderObjects, DEZSignFailureCarriesProviderTextAndLeavesNothingOpen) {
  Lumo::Automation::TCBRSign sign;
  TestProvider_Script("sign=80090016");
  WideString value = u"stale";
  EXPECT_EQ(sign.SignXml(kDocument, u"bank", 2, value), kUnexpected);
  EXPECT_TRUE(value.empty());
  ASSERT_NE(Lumo::Automation::LastErrorInfo(), nullptr);
  EXPECT_EQ(Lumo::Automation::LastErrorInfo()->description.rfind(u"80090016: ", 0), 0u);
  EXPECT_EQ(Stats().openContexts, 0);

  TestProvider_Script("reset;init=80090016");
  EXPECT_EQ(sign.SignXml(kDocument, u"bank", 2, value), kUnexpected);
  EXPECT_EQ(Stats().openContexts, 0);
  TestProvider_Script("reset");
  EXPECT_EQ(sign.SignXml(kDocument, u"bank", 2, value), 0);  // usable again
}

// Verify writes the document of an envelope as this library writes it as it is parsed,
// but only once the signature is good: a failing check hands nothing on and makes no
// file; a good one gives what the wide entry gives.
TEST_F(ProviderObjects, VerifyHandsNothingOnBeforeTheSignatureIsGood) {
  Lumo::Automation::TCBRSign sign;
  WideString envelope;
  ASSERT_EQ(
      sign.SignXml(u"<Doc xmlns=\"urn:dez-ru:ed:v2.0\"><A>1</A>\n<B/></Doc>", u"bank", 3, envelope),
      0);
  const std::string text = Lumo::Base::Utf8FromWide(envelope);
  const std::string folder = ::testing::TempDir();
  const std::string input = folder + "/lumo_verify_in.xml",
                    output = folder + "/lumo_verify_out.xml";
  { std::ofstream(input, std::ios::binary) << text; }
  std::remove(output.c_str());
  auto utf8 = [&](std::string& bytes) {
    return sign.SignXmlUtf8(text, u"bank", 4, [&bytes](std::string_view piece) { bytes += piece; });
  };
  auto file = [&] {
    return sign.SignFile(Lumo::Base::WideFromUtf8(input), Lumo::Base::WideFromUtf8(output), u"bank",
                         4);
  };
  TestProvider_Script("verify=E0700019;signers=E0700020");
  std::string bytes;
  EXPECT_NE(utf8(bytes), 0);
  EXPECT_EQ(bytes, "");
  EXPECT_NE(file(), 0);
  EXPECT_FALSE(std::ifstream(output).good());
  TestProvider_Script("reset");
  WideString value;
  ASSERT_EQ(sign.SignXml(envelope, u"bank", 4, value), 0);
  bytes.clear();
  ASSERT_EQ(utf8(bytes), 0);
  EXPECT_EQ(bytes, Lumo::Base::Utf8FromWide(value));
  ASSERT_EQ(file(), 0);
  std::ifstream written(output, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), bytes);
  EXPECT_EQ(Stats().openContexts, 0);
  std::remove(input.c_str());
  std::remove(output.c_str());
}

TEST_F(ProviderObjects, ProfileObjectCountsOpenAndClose) {
  Lumo::Automation::TProfile profile;
  profile.put_Name(u"A");
  ASSERT_EQ(profile.Open(), 0);
  ASSERT_EQ(profile.Open(), 0);
  EXPECT_EQ(Stats().initializeCalls, 1u);
  EXPECT_EQ(Stats().lastInitFlags, 0x841u);  // no owning signer: Default means silent
  ASSERT_EQ(profile.Close(), 0);
  EXPECT_EQ(Stats().openContexts, 1);
  WideString value;
  ASSERT_EQ(profile.Sign(kDocument, 2, value), 0);
  ASSERT_EQ(profile.Close(), 0);
  EXPECT_EQ(Stats().openContexts, 0);
  // A Close with nothing open is ignored, not passed on to the provider.
  EXPECT_EQ(profile.Close(), 0);
  EXPECT_EQ(Stats().uninitializeCalls, 1u);
}

TEST_F(ProviderObjects, ProfileObjectKeepsItsFirstNameAndReadsKeyloadAtOpen) {
  Lumo::Automation::TProfile profile;
  profile.put_Name(u"A");
  profile.put_Keyload(2);
  ASSERT_EQ(profile.Open(), 0);
  EXPECT_EQ(Stats().lastInitFlags, 0x41u);
  EXPECT_STREQ(Stats().lastProfile, "A");
  profile.put_Name(u"B");
  profile.put_Keyload(1);
  ASSERT_EQ(profile.Close(), 0);
  ASSERT_EQ(profile.Open(), 0);
  EXPECT_STREQ(Stats().lastProfile, "A");
  EXPECT_EQ(Stats().lastInitFlags, 0x841u);
  ASSERT_EQ(profile.Close(), 0);
}

TEST_F(ProviderObjects, ReleasingAnOpenProfileObjectReleasesTheContext) {
  auto profile = std::make_unique<Lumo::Automation::TProfile>();
  profile->put_Name(u"A");
  ASSERT_EQ(profile->Open(), 0);
  ASSERT_EQ(profile->Open(), 0);
  ASSERT_EQ(profile->Open(), 0);
  profile.reset();
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(ProviderObjects, FailedOpenKeepsTheProfileAndALaterOpenRetries) {
  Lumo::Automation::TProfile profile;
  profile.put_Name(u"A");
  TestProvider_Script("init=80090016");
  EXPECT_EQ(profile.Open(), kUnexpected);
  ASSERT_NE(Lumo::Automation::LastErrorInfo(), nullptr);
  EXPECT_EQ(Lumo::Automation::LastErrorInfo()->source, u"LumoDEZLib.Profile");
  ASSERT_NE(profile.KeyProfile(), nullptr);
  EXPECT_EQ(Stats().openContexts, 0);
  TestProvider_Script("reset");
  EXPECT_EQ(profile.Open(), 0);
  EXPECT_EQ(Stats().openContexts, 1);
  EXPECT_EQ(profile.Close(), 0);
}

TEST_F(ProviderObjects, TestModeSwitchedOnWhileOpenLeavesTheContextAlone) {
  {
    Lumo::Automation::TProfile profile;
    profile.put_Name(u"A");
    ASSERT_EQ(profile.Open(), 0);
    profile.put_TestMode(-1);
    EXPECT_EQ(profile.Close(), 0);
    EXPECT_EQ(Stats().openContexts, 1);
  }
  // The key profile is released with the object while in test mode: the context stays,
  // exactly as the object's rules say; the provider keeps it until it is unloaded.
  EXPECT_EQ(Stats().openContexts, 1);
  EXPECT_EQ(Stats().uninitializeCalls, 0u);
}

}  // namespace
