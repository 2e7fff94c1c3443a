// The signing core through a crypto provider: the test provider (fake deterministic
// signatures, scripted statuses, counters of open contexts) observes the flags, the open
// contexts, the bytes signed and verified, and the clean-up after every failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "base/errors.h"
#include "provider/signatura.h"
#include "sign/profile.h"
#include "sign/signer.h"
#include "test_provider_control.h"
#include "tests/sign/test_support.h"

using namespace SignTest;
using Lumo::Base::AnsiString;
using Lumo::Base::ByteString;
using Lumo::Base::WideString;
using Lumo::Sign::TCBRSigner;
using Lumo::Sign::TProfile;

namespace {

TestProviderStats Stats() {
  TestProviderStats st;
  TestProvider_GetStats(&st);
  return st;
}

ByteString FakeSignature(const std::string& profile, const ByteString& data) {
  size_t n = TestProvider_Signature(profile.c_str(), data.data(), data.size(), nullptr, 0);
  ByteString out(n, '\0');
  TestProvider_Signature(profile.c_str(), data.data(), data.size(), out.data(), n);
  return out;
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Lumo::Base::ELumoException& e) {
    return e.Message();
  }
  return "(no error)";
}

class WithProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    Lumo::Provider::SetProviderLibraryName(LUMO_TEST_PROVIDER_PATH);
    TestProvider_Reset();
  }
  void TearDown() override {
    TestProviderStats st = Stats();
    if (checkClean) EXPECT_EQ(st.openContexts, 0) << "provider contexts left open";
    EXPECT_EQ(st.outstandingSignatures, 0);
    EXPECT_EQ(st.outstandingVerifyResults, 0);
    EXPECT_EQ(st.badFrees, 0u);
    EXPECT_EQ(st.badRecords, 0u);
    TestProvider_Reset();
  }
  bool checkClean = true;
  TempDir dir;
};

}  // namespace

// --- Counted open and close ---------------------------------------------------------------

TEST_F(WithProvider, OpenAndCloseAreCounted) {
  TProfile p(nullptr, "Alpha");
  p.Open();
  EXPECT_EQ(p.OpenCount, 1);
  EXPECT_NE(p.Context, 0u);
  EXPECT_EQ(Stats().initializeCalls, 1u);
  EXPECT_EQ(std::string(Stats().lastProfile), "Alpha");
  EXPECT_EQ(Stats().lastInitFlags, 0x841u);  // no owner: silent
  uint32_t context = p.Context;
  p.Open();
  p.Open();
  EXPECT_EQ(p.OpenCount, 3);
  EXPECT_EQ(p.Context, context);
  EXPECT_EQ(Stats().initializeCalls, 1u);
  p.Close();
  p.Close();
  EXPECT_EQ(Stats().openContexts, 1);
  EXPECT_EQ(Stats().uninitializeCalls, 0u);
  p.Close();
  EXPECT_EQ(p.OpenCount, 0);
  EXPECT_EQ(p.Context, 0u);
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_EQ(Stats().uninitializeCalls, 1u);
  // Close with nothing open is ignored: the provider is not called again.
  p.Close();
  EXPECT_EQ(p.OpenCount, 0);
  EXPECT_EQ(Stats().uninitializeCalls, 1u);
  EXPECT_EQ(Stats().badContexts, 0u);
  // Opening again initialises again.
  p.Open();
  EXPECT_EQ(Stats().initializeCalls, 2u);
  p.Close();
}

TEST_F(WithProvider, FlagsFollowKeyloadAndTheOwnersSilentSetting) {
  struct Case {
    bool owned;
    bool silent;
    uint8_t keyload;
    uint32_t flags;
  } cases[] = {
      {false, false, 0, 0x841}, {false, false, 1, 0x841}, {false, false, 2, 0x41},
      {false, false, 9, 0x841}, {true, true, 0, 0x841},   {true, false, 0, 0x41},
      {true, false, 1, 0x841},  {true, true, 2, 0x41},    {true, false, 200, 0x41},
      {true, true, 200, 0x841},
  };
  for (const Case& c : cases) {
    TCBRSigner signer(false);
    signer.Silent = c.silent;
    TProfile p(c.owned ? &signer : nullptr, "k");
    p.Keyload = c.keyload;
    p.Open();
    EXPECT_EQ(Stats().lastInitFlags, c.flags)
        << "owned " << c.owned << " silent " << c.silent << " keyload " << int(c.keyload);
    p.Close();
  }
}

TEST_F(WithProvider, SignerSilentSettingReachesTheProvider) {
  for (bool silent : {true, false}) {
    TCBRSigner signer(false);
    signer.Silent = silent;
    WideString value;
    signer.SignXml(u"Key", u"<a/>", Lumo::Base::saRoot, value);
    EXPECT_EQ(Stats().lastInitFlags, silent ? 0x841u : 0x41u);
    EXPECT_EQ(signer.ProfileCount(), 0u);
    EXPECT_EQ(Stats().openContexts, 0);
  }
}

TEST_F(WithProvider, DestructionClosesFullyWhateverTheCount) {
  auto p = std::make_unique<TProfile>(nullptr, "k");
  p->Open();
  p->Open();
  p->Open();
  EXPECT_EQ(Stats().openContexts, 1);
  p.reset();
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_EQ(Stats().uninitializeCalls, 1u);
}

TEST_F(WithProvider, DestructorDropsAFailingRelease) {
  checkClean = false;  // the provider refused to release the context
  auto p = std::make_unique<TProfile>(nullptr, "k");
  p->Open();
  ASSERT_EQ(TestProvider_Script("uninit=E0700022"), 0);
  EXPECT_NO_THROW(p.reset());
  EXPECT_EQ(Stats().uninitializeCalls, 1u);
}

TEST_F(WithProvider, TestModeIsReadAtEachCall) {
  TProfile p(nullptr, "k");
  p.Open();
  EXPECT_EQ(Stats().openContexts, 1);
  p.TestMode = true;  // now Close leaves the context alone
  p.Close();
  EXPECT_EQ(p.OpenCount, 1);
  EXPECT_EQ(Stats().openContexts, 1);
  p.Open();  // and Open does not count
  EXPECT_EQ(p.OpenCount, 1);
  p.TestMode = false;
  p.Close();
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(WithProvider, DestructionInTestModeLeavesARealContextAlone) {
  checkClean = false;
  {
    TProfile p(nullptr, "k");
    p.Open();
    p.TestMode = true;
  }
  EXPECT_EQ(Stats().openContexts, 1);
  EXPECT_EQ(Stats().uninitializeCalls, 0u);
}

TEST_F(WithProvider, FailingOpenKeepsTheCountAndIsTheProvidersError) {
  ASSERT_EQ(TestProvider_Script("init=80090016"), 0);
  TProfile p(nullptr, "missing");
  try {
    p.Open();
    FAIL() << "no error";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_EQ(e.Message().rfind("80090016: ", 0), 0u) << e.Message();
    EXPECT_EQ(e.FunctionName, "VCERT_Initialize");
  }
  EXPECT_EQ(p.OpenCount, 0);
  EXPECT_EQ(p.Context, 0u);
  ASSERT_EQ(TestProvider_Script("init=0"), 0);
  p.Open();  // a later Open tries again
  EXPECT_EQ(p.OpenCount, 1);
  p.Close();
}

// --- The signer's profile list with the provider ------------------------------------------

TEST_F(WithProvider, SignerCountsOpensOfOneNameInAnyCase) {
  TCBRSigner s(false);
  TProfile* a = s.OpenProfile("KEY");
  TProfile* b = s.OpenProfile("key");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->OpenCount, 2);
  EXPECT_EQ(Stats().initializeCalls, 1u);
  s.CloseProfile("Key");
  EXPECT_EQ(s.ProfileCount(), 1u);
  EXPECT_EQ(Stats().openContexts, 1);
  s.CloseProfile("kEY");
  EXPECT_EQ(s.ProfileCount(), 0u);
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(WithProvider, SignerDestructionReleasesInReverseOrderAndSwallowsFailures) {
  checkClean = false;
  uint32_t first = 0, second = 0;
  {
    TCBRSigner s(false);
    first = s.OpenProfile("a")->Context;
    s.OpenProfile("a");
    second = s.OpenProfile("b")->Context;
    // The first release works, every later one fails.
    ASSERT_EQ(TestProvider_Script("uninit=E0700022@1"), 0);
  }
  EXPECT_EQ(Stats().uninitializeCalls, 2u);
  // "b" (the last entry) was released first; "a" failed and its context is still open.
  ASSERT_EQ(TestProvider_Script("uninit=0"), 0);
  EXPECT_NO_THROW(Lumo::Provider::TSignatura::Uninitialize(first));
  EXPECT_THROW(Lumo::Provider::TSignatura::Uninitialize(second), Lumo::Base::ESignaturaError);
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(WithProvider, FailingOpenOfANewProfileLeavesNoContextAfterDestruction) {
  {
    TCBRSigner s(false);
    ASSERT_EQ(TestProvider_Script("init=80090016@1"), 0);
    s.OpenProfile("good");
    EXPECT_THROW(s.OpenProfile("bad"), Lumo::Base::ESignaturaError);
    EXPECT_EQ(s.ProfileCount(), 2u);
    EXPECT_EQ(s.FindProfile("bad")->OpenCount, 0);
  }
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_EQ(Stats().uninitializeCalls, 1u);
}

// --- Actions with real (fake) signatures ------------------------------------------------------

TEST_F(WithProvider, RootSignsTheNumberedBytesWithTheProfilesKey) {
  TCBRSigner s(false);
  WideString value;
  s.SignXml(u"Signer1", ExampleText(), Lumo::Base::saRoot, value);
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(Body(value));
  EXPECT_EQ(SignatureBytes(root), FakeSignature("Signer1", kExampleNumbered));
  EXPECT_EQ(Stats().signCalls, 1u);
  EXPECT_EQ(Stats().freeMemCalls, 1u);
  EXPECT_EQ(Stats().lastSignFlags, 0u);
  EXPECT_EQ(Stats().lastDataLength, kExampleNumbered.size());
}

TEST_F(WithProvider, ChildsSignsEachChildSeparately) {
  SKIP_UNLESS_CHILD_XML_CARRIES_NAMESPACES();
  TCBRSigner s(false);
  WideString value;
  const std::string doc = "<P xmlns=\"urn:dez-ru:ed:v2.0\"><A>1</A><B>2</B><C/></P>";
  s.SignXml(u"k", W(doc), Lumo::Base::saChilds, value);
  EXPECT_EQ(Stats().signCalls, 3u);
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(Body(value));
  Lumo::Dom::Node fixed = Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(FixedForm(W(doc))));
  Lumo::Dom::Node child = Lumo::Dom::FindChildElement(root, "");
  Lumo::Dom::Node source = Lumo::Dom::FindChildElement(fixed, "");
  int n = 0;
  while (child) {
    ASSERT_TRUE(source);
    EXPECT_EQ(SignatureBytes(child), FakeSignature("k", NumberedOfFixed(source.xml())));
    child = Lumo::Dom::FindNextElement(child, "");
    source = Lumo::Dom::FindNextElement(source, "");
    ++n;
  }
  EXPECT_EQ(n, 3);
}

TEST_F(WithProvider, ChildsWithoutNamespacesSignsEachChild) {
  TCBRSigner s(false);
  WideString value;
  s.SignXml(u"k", u"<P><A>1</A>t<B b=\"2\"/></P>", Lumo::Base::saChilds, value);
  EXPECT_EQ(Stats().signCalls, 2u);
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(Body(value));
  Lumo::Dom::Node a = Lumo::Dom::FindChildElement(root, "");
  EXPECT_EQ(SignatureBytes(a), FakeSignature("k", NumberedOfFixed(u"<A>1</A>")));
  Lumo::Dom::Node b = Lumo::Dom::FindNextElement(a, "");
  EXPECT_EQ(SignatureBytes(b), FakeSignature("k", NumberedOfFixed(u"<B b=\"2\"/>")));
}

TEST_F(WithProvider, EnvelopeVerifiesAndUnwraps) {
  TCBRSigner s(false);
  WideString envelope, verified;
  s.SignXml(u"k", ExampleText(), Lumo::Base::saEnvelope, envelope);
  std::string carried = kHeader + kExampleFixedXml;
  EXPECT_EQ(U(envelope), kHeader + Envelope(Lumo::Base::EncodeBase64(FakeSignature("k", carried)),
                                            Lumo::Base::EncodeBase64(carried)));
  s.SignXml(u"k", Body(envelope), Lumo::Base::saVerify, verified);
  EXPECT_EQ(U(verified), kHeader + kExampleFixedXml);
  EXPECT_EQ(Stats().verifyCalls, 1u);
  EXPECT_EQ(Stats().lastVerifyWords[0], 0u);
  EXPECT_EQ(Stats().lastVerifyDataLength, carried.size());
  EXPECT_EQ(Stats().freeVerifyResultCalls, 1u);
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(WithProvider, VerifyOfTamperedContentFailsWithTheProvidersText) {
  TCBRSigner s(false);
  std::string data = kHeader + "<d>1</d>";
  std::string other = kHeader + "<d>2</d>";
  WideString env = W(Envelope(Lumo::Base::EncodeBase64(FakeSignature("k", data)),
                              Lumo::Base::EncodeBase64(other)));
  WideString value = u"x";
  try {
    s.SignXml(u"k", env, Lumo::Base::saVerify, value);
    FAIL() << "no error";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_FALSE(e.Message().empty());
    EXPECT_TRUE(e.FunctionName.empty());
  }
  EXPECT_EQ(s.ProfileCount(), 0u);
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(WithProvider, VerifyWithTwoFailingSignersReportsBoth) {
  ASSERT_EQ(TestProvider_Script("verify=E0700019;signers=E0700020,0,E0700021;"
                                "text=E0700020:first bad;text=E0700021:second bad"),
            0);
  TCBRSigner s(false);
  std::string data = kHeader + "<d/>";
  WideString env = W(
      Envelope(Lumo::Base::EncodeBase64(FakeSignature("k", data)), Lumo::Base::EncodeBase64(data)));
  WideString value;
  EXPECT_EQ(MessageOf([&] { s.SignXml(u"k", env, Lumo::Base::saVerify, value); }),
            "first bad\r\nsecond bad");
  EXPECT_EQ(Stats().openContexts, 0);
}

TEST_F(WithProvider, VerifyFailureMessagesThroughTheSigner) {
  TCBRSigner s(false);
  WideString value;
  EXPECT_EQ(MessageOf([&] {
              s.SignXml(u"k", u"<SigEnvelope><Object>QQ==</Object></SigEnvelope>",
                        Lumo::Base::saVerify, value);
            }),
            "Ошибка проверки КА: Не найден элемент MACValue");
  EXPECT_EQ(MessageOf([&] {
              s.SignXml(u"k",
                        u"<SigEnvelope><SigContainer><MACValue/></SigContainer></SigEnvelope>",
                        Lumo::Base::saVerify, value);
            }),
            "Ошибка проверки КА: Не найден элемент Object");
  EXPECT_EQ(MessageOf([&] { s.SignXml(u"k", u"<Other/>", Lumo::Base::saVerify, value); }),
            "Ошибка обработки XML");
  WriteFile(dir.File("in.xml"), "<Other/>");
  EXPECT_EQ(MessageOf([&] {
              s.SignFile("k", dir.File("in.xml"), dir.File("out.xml"), Lumo::Base::saVerify);
            }),
            "Ошибка обработки XML файла " + dir.File("in.xml"));
  EXPECT_FALSE(fs::exists(dir.File("out.xml")));
  EXPECT_EQ(Stats().verifyCalls, 0u);
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_EQ(s.ProfileCount(), 0u);
}

TEST_F(WithProvider, Base64EnvelopeSignsTheDecodedBytes) {
  TCBRSigner s(false);
  const std::string payload("arbitrary\0bytes\xff", 16);
  const std::string b = Lumo::Base::EncodeBase64(payload);
  WideString value;
  s.SignXml(u"k", W(b), Lumo::Base::saBase64Envelope, value);
  EXPECT_EQ(U(value), kHeader + Envelope(Lumo::Base::EncodeBase64(FakeSignature("k", payload)), b));
}

TEST_F(WithProvider, EveryFileActionWritesTheTextResult) {
  WriteFile(dir.File("in.xml"), kExampleFile);
  for (uint8_t action : Actions({0, 1, 2, 3, 6})) {
    TCBRSigner s(false);
    s.SignFile("k", dir.File("in.xml"), dir.File("out.xml"), action);
    TCBRSigner t(false);
    WideString value;
    t.SignXml(u"k", ExampleText(), action == 6 ? 0 : action, value);
    EXPECT_EQ(ReadFile(dir.File("out.xml")), Lumo::Base::Utf8Encode(value)) << int(action);
  }
  TCBRSigner s(false);
  s.SignFile("k", dir.File("in.xml"), dir.File("env.xml"), Lumo::Base::saEnvelope);
  s.SignFile("k", dir.File("env.xml"), dir.File("out.xml"), Lumo::Base::saVerify);
  EXPECT_EQ(ReadFile(dir.File("out.xml")), kHeader + kExampleFixedXml);
}

// --- Clean-up after failures ------------------------------------------------------------

TEST_F(WithProvider, FailingSignatureClosesTheProfileAndWritesNothing) {
  ASSERT_EQ(TestProvider_Script("sign=E0700022"), 0);
  WriteFile(dir.File("in.xml"), kExampleFile);
  WriteFile(dir.File("old.xml"), "old");
  for (uint8_t action : Actions({1, 2, 3, 6})) {
    TCBRSigner s(false);
    WideString value;
    try {
      s.SignXml(u"k", action == 6 ? u"QUJD" : ExampleText(), action, value);
      ADD_FAILURE() << "no error for " << int(action);
    } catch (const Lumo::Base::ESignaturaError& e) {
      EXPECT_EQ(e.FunctionName, "VCERT_CmsBlkDetSignMem");
    }
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(s.ProfileCount(), 0u);
    EXPECT_EQ(Stats().openContexts, 0);
    if (action == 6) continue;  // code 6 from a file signs nothing
    EXPECT_THROW(s.SignFile("k", dir.File("in.xml"), dir.File("new.xml"), action),
                 Lumo::Base::ESignaturaError);
    EXPECT_THROW(s.SignFile("k", dir.File("in.xml"), dir.File("old.xml"), action),
                 Lumo::Base::ESignaturaError);
    EXPECT_EQ(Stats().openContexts, 0);
  }
  EXPECT_EQ(ReadFile(dir.File("old.xml")), "old");
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.xml", "old.xml"}));
}

TEST_F(WithProvider, ChildsFailingMidwayLeaveAFifoNothing) {
  // The second child's signature fails once the first child's markup is made.
  ASSERT_EQ(TestProvider_Script("sign=E0700022@1"), 0);
  WriteFile(dir.File("in.xml"), "<R xmlns=\"urn:x\"><a>1</a><b>2</b></R>");
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TCBRSigner s(false);
  auto childs = [&] { s.SignFile("k", dir.File("in.xml"), fifo, Lumo::Base::saChilds); };
  const std::string received =
      ReadFifoDuring(fifo, [&] { EXPECT_THROW(childs(), Lumo::Base::ESignaturaError); });
  EXPECT_EQ(received, "");
}

TEST_F(WithProvider, ParseFailureAfterOpenClosesTheProfile) {
  TCBRSigner s(false);
  WideString value;
  EXPECT_THROW(s.SignXml(u"k", u"<a", Lumo::Base::saRoot, value), Lumo::Base::EXmlParserError);
  EXPECT_EQ(Stats().initializeCalls, 1u);
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_THROW(s.SignFile("k", dir.File("missing.xml"), dir.File("out.xml"), Lumo::Base::saRoot),
               Lumo::Base::ELumoException);
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_EQ(s.ProfileCount(), 0u);
  EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(WithProvider, UnwritableOutputClosesTheProfile) {
  TCBRSigner s(false);
  WriteFile(dir.File("in.xml"), kExampleFile);
  EXPECT_EQ(MessageOf([&] {
              s.SignFile("k", dir.File("in.xml"), dir.File("no/out.xml"), Lumo::Base::saRoot);
            }),
            "Cannot create file \"" + dir.File("no/out.xml") + "\". No such file or directory");
  EXPECT_EQ(Stats().openContexts, 0);
  EXPECT_EQ(s.ProfileCount(), 0u);
}

TEST_F(WithProvider, FailingReleaseAfterASuccessfulActionIsReported) {
  checkClean = false;
  ASSERT_EQ(TestProvider_Script("uninit=E0700022"), 0);
  TCBRSigner s(false);
  WideString value;
  try {
    s.SignXml(u"k", u"<a/>", Lumo::Base::saRoot, value);
    FAIL() << "no error";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_EQ(e.FunctionName, "VCERT_Uninitialize");
  }
  // The profile's count reached zero before the release failed: it stays listed until the
  // signer goes, which does not try again.
  EXPECT_EQ(s.ProfileCount(), 1u);
  EXPECT_EQ(s.FindProfile("k")->OpenCount, 0);
}

TEST_F(WithProvider, ExtractNeverTouchesTheProvider) {
  TCBRSigner s(false);
  WideString value;
  s.SignXml(u"k", W(Envelope("", Lumo::Base::EncodeBase64("<x/>"))), Lumo::Base::saExtract, value);
  EXPECT_EQ(U(value), "<x/>");
  EXPECT_EQ(Stats().initializeCalls, 0u);
}

TEST_F(WithProvider, TwoCallsOpenAndReleaseTwice) {
  for (int i = 0; i < 2; ++i) {
    TCBRSigner s(false);
    WideString value;
    s.SignXml(u"k", u"<a/>", Lumo::Base::saRoot, value);
  }
  EXPECT_EQ(Stats().initializeCalls, 2u);
  EXPECT_EQ(Stats().uninitializeCalls, 2u);
}

// --- Choosing the provider library ---------------------------------------------------------

TEST_F(WithProvider, ProviderLibraryCannotBeSwappedOnceLoaded) {
  TProfile p(nullptr, "Alpha");
  p.Open();
  // The loaded library may be named again; another one is refused and the setting kept.
  EXPECT_NO_THROW(Lumo::Sign::SetProviderLibrary(LUMO_TEST_PROVIDER_PATH));
  std::string message = MessageOf([] { Lumo::Sign::SetProviderLibrary("/opt/vendor/libsig.so"); });
  EXPECT_NE(message.find(LUMO_TEST_PROVIDER_PATH), std::string::npos) << message;
  EXPECT_NE(message.find("/opt/vendor/libsig.so"), std::string::npos) << message;
  EXPECT_EQ(Lumo::Provider::ProviderLibraryName(), LUMO_TEST_PROVIDER_PATH);
  p.Close();
  Lumo::Provider::UnloadProvider();
  // Unloaded, the setting takes effect for the next load.
  Lumo::Sign::SetProviderLibrary("/opt/vendor/libsig.so");
  EXPECT_EQ(Lumo::Provider::ProviderLibraryName(), "/opt/vendor/libsig.so");
  EXPECT_NE(MessageOf([&] { p.Open(); }).find("/opt/vendor/libsig.so"), std::string::npos);
}
