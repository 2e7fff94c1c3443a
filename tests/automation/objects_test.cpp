// The DEZSign and Profile objects as clients drive them: settings, working calls in
// test mode, and the error information every failed call leaves behind.
#include <gtest/gtest.h>

#include <string>

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "base/encoding.h"

namespace {

using Lumo::Base::WideString;

const WideString kDocument =
    u"<?xml version=\"1.0\"?><Doc xmlns=\"urn:dez-ru:ed:v2.0\" B=\"2\" "
    u"A=\"1\"><!--c--><Item>текст</Item></Doc>";
const WideString kFixedForm =
    u"<ed:Doc xmlns:ed=\"urn:dez-ru:ed:v2.0\" A=\"1\" B=\"2\"><ed:Item>текст</ed:Item></ed:Doc>";
constexpr int32_t kUnexpected = static_cast<int32_t>(0x8000FFFFu);

TEST(DEZSignObject, SettingsFollowAutomationBooleans) {
  Lumo::Automation::TCBRSign sign;
  int16_t v = 1;
  EXPECT_EQ(sign.get_TestMode(v), 0);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(sign.get_Silent(v), 0);
  EXPECT_EQ(v, 0);
  for (int16_t written : {int16_t(1), int16_t(-1), int16_t(0x100)}) {
    sign.put_TestMode(written);
    sign.get_TestMode(v);
    EXPECT_EQ(v, -1) << written;
    sign.put_Silent(written);
    sign.get_Silent(v);
    EXPECT_EQ(v, -1) << written;
  }
  sign.put_TestMode(0);
  sign.get_TestMode(v);
  EXPECT_EQ(v, 0);
}

TEST(DEZSignObject, OpenAndCloseProfileAreNoOps) {
  Lumo::Automation::TCBRSign sign;
  void* profile = &sign;
  EXPECT_EQ(sign.OpenProfile(u"whatever", &profile), 0);
  EXPECT_EQ(profile, nullptr);
  EXPECT_EQ(sign.CloseProfile(u"never opened"), 0);
}

TEST(DEZSignObject, ExtractNeedsNoProfileAndUsesLowEightBits) {
  Lumo::Automation::TCBRSign
      sign;  // not in test mode: a provider would be needed for anything else
  WideString value;
  ASSERT_EQ(sign.SignXml(u"<a><b/></a>", u"", 5, value), 0);
  EXPECT_EQ(value, u"<a><b/></a>");
  value.clear();
  ASSERT_EQ(sign.SignXml(u"<a><b/></a>", u"no such profile", 261, value), 0);
  EXPECT_EQ(value, u"<a><b/></a>");
}

TEST(DEZSignObject, ActionZeroReturnsTheFixedPrefixFormWithDeclaration) {
  Lumo::Automation::TCBRSign sign;
  sign.put_TestMode(-1);
  WideString value;
  ASSERT_EQ(sign.SignXml(kDocument, u"key", 0, value), 0);
  EXPECT_EQ(value, WideString(Lumo::Base::XmlHeader) + kFixedForm);
}

TEST(DEZSignObject, FailedCallLeavesErrorInfoAndObjectUsable) {
  Lumo::Automation::TCBRSign sign;
  sign.put_TestMode(-1);
  WideString value = u"stale";
  EXPECT_EQ(sign.SignXml(u"<a><b></a>", u"key", 2, value), kUnexpected);
  EXPECT_TRUE(value.empty());
  const Lumo::Automation::ErrorInfo* info = Lumo::Automation::LastErrorInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->source, u"LumoDEZLib.DEZSign");
  EXPECT_EQ(Lumo::Automation::GuidToString(info->guid), "{733F15ED-DAF6-419C-A122-1F0D1CF9FA58}");
  EXPECT_NE(info->description.find(u"Position: 1:"), WideString::npos);

  // A non-envelope through Verify: the processing message of the text entry point.
  EXPECT_EQ(sign.SignXml(u"<a/>", u"key", 4, value), 0);  // test mode: verify unwraps
  sign.put_TestMode(0);
  EXPECT_EQ(sign.SignXml(u"<a/>", u"", 5, value), 0);
  EXPECT_EQ(Lumo::Automation::LastErrorInfo(), nullptr);
}

TEST(DEZSignObject, MissingProviderIsReportedNotCrashed) {
  Lumo::Automation::TCBRSign sign;  // outside test mode the provider library must be loaded
  WideString value;
  int32_t status = sign.SignXml(kDocument, u"key", 2, value);
  if (status == 0) GTEST_SKIP() << "a provider library is installed on this machine";
  EXPECT_EQ(status, kUnexpected);
  ASSERT_NE(Lumo::Automation::LastErrorInfo(), nullptr);
  EXPECT_FALSE(Lumo::Automation::LastErrorInfo()->description.empty());
}

TEST(ProfileObject, SettingsAndKeyloadLowEightBits) {
  Lumo::Automation::TProfile profile;
  WideString name = u"x";
  int16_t test = 1;
  int32_t keyload = 9;
  profile.get_Name(name);
  profile.get_TestMode(test);
  profile.get_Keyload(keyload);
  EXPECT_EQ(name, u"");
  EXPECT_EQ(test, 0);
  EXPECT_EQ(keyload, 0);
  profile.put_Keyload(7);
  profile.get_Keyload(keyload);
  EXPECT_EQ(keyload, 7);
  profile.put_Keyload(256);
  profile.get_Keyload(keyload);
  EXPECT_EQ(keyload, 0);
  profile.put_Keyload(-1);
  profile.get_Keyload(keyload);
  EXPECT_EQ(keyload, 255);
  profile.put_Name(u"Ключ банка");
  profile.get_Name(name);
  EXPECT_EQ(name, u"Ключ банка");
}

TEST(ProfileObject, SignAndCloseBeforeOpenFailCleanly) {
  Lumo::Automation::TProfile profile;
  WideString value = u"stale";
  EXPECT_EQ(profile.Sign(kDocument, 2, value), kUnexpected);
  EXPECT_TRUE(value.empty());
  ASSERT_NE(Lumo::Automation::LastErrorInfo(), nullptr);
  EXPECT_EQ(Lumo::Automation::LastErrorInfo()->source, u"LumoDEZLib.Profile");
  EXPECT_EQ(Lumo::Automation::GuidToString(Lumo::Automation::LastErrorInfo()->guid),
            "{25033B17-7135-4FA5-9D6B-273620C5FAC5}");
  EXPECT_EQ(profile.Close(), kUnexpected);
  EXPECT_EQ(profile.KeyProfile(), nullptr);
}

TEST(ProfileObject, TestModeSigningAndExtractWithDeclaration) {
  Lumo::Automation::TProfile profile;
  profile.put_Name(u"A");
  profile.put_TestMode(-1);
  ASSERT_EQ(profile.Open(), 0);
  WideString envelope;
  ASSERT_EQ(profile.Sign(kDocument, 3, envelope), 0);
  WideString extracted;
  ASSERT_EQ(profile.Sign(envelope, 5, extracted), 0);
  // The Profile object's extract goes through the key profile: declaration included.
  EXPECT_EQ(extracted, WideString(Lumo::Base::XmlHeader) + kFixedForm);
  WideString verified;
  ASSERT_EQ(profile.Sign(envelope, 4, verified), 0);
  EXPECT_EQ(verified, extracted);

  // The name a key profile was created with stays, whatever Name says later.
  profile.put_Name(u"B");
  WideString name;
  profile.get_Name(name);
  EXPECT_EQ(name, u"B");
  ASSERT_EQ(profile.Close(), 0);
}

TEST(ProfileObject, TestModeWriteReachesHeldKeyProfileAtOnce) {
  Lumo::Automation::TProfile profile;
  profile.put_TestMode(-1);
  ASSERT_EQ(profile.Open(), 0);
  WideString value;
  ASSERT_EQ(profile.Sign(kDocument, 2, value), 0);
  profile.put_TestMode(0);
  // Now the very next Sign needs the provider, which was never opened for this profile:
  // it fails cleanly instead of signing in test mode.
  EXPECT_EQ(profile.Sign(kDocument, 2, value), kUnexpected);
  EXPECT_TRUE(value.empty());
}

}  // namespace
