// Signer: the profile list, Extract without any profile, the two entry points in test
// mode, and clean-up when the provider cannot be loaded.
#include "sign/signer.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/errors.h"
#include "provider/signatura.h"
#include "tests/sign/test_support.h"

using namespace SignTest;
using Lumo::Base::AnsiString;
using Lumo::Base::WideString;
using Lumo::Sign::TCBRSigner;
using Lumo::Sign::TProfile;

namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Lumo::Base::ELumoException& e) {
    return e.Message();
  }
  return "(no error)";
}

// Points the binding at a library that does not exist, so that any attempt to use the
// provider fails (and shows that nothing was loaded).
struct NoProvider {
  std::string saved = Lumo::Provider::ProviderLibraryName();
  NoProvider() {
    Lumo::Provider::UnloadProvider();
    Lumo::Provider::SetProviderLibraryName("/nonexistent/lumo-no-provider.so");
  }
  ~NoProvider() { Lumo::Provider::SetProviderLibraryName(saved); }
};

}  // namespace

// --- The profile list -------------------------------------------------------------------

TEST(SignerList, NewSignerDefaults) {
  TCBRSigner a(false), b(true);
  EXPECT_FALSE(a.TestMode);
  EXPECT_TRUE(b.TestMode);
  EXPECT_TRUE(a.Silent);
  EXPECT_EQ(a.ProfileCount(), 0u);
}

TEST(SignerList, NamesDifferingInCaseAreOneEntry) {
  TCBRSigner s(true);
  TProfile* upper = s.OpenProfile("KEY");
  TProfile* lower = s.OpenProfile("key");
  EXPECT_EQ(upper, lower);
  EXPECT_EQ(s.ProfileCount(), 1u);
  EXPECT_EQ(upper->Name, "KEY");  // the name first given
  EXPECT_EQ(upper->Owner, &s);
  EXPECT_TRUE(upper->TestMode);
  TProfile* cyr = s.OpenProfile("КЛЮЧ");
  EXPECT_EQ(s.OpenProfile("ключ"), cyr);
  EXPECT_EQ(s.ProfileCount(), 2u);
}

TEST(SignerList, ListIsSortedWithoutRegardToCase) {
  TCBRSigner s(true);
  for (const char* n : {"delta", "Bravo", "alpha", "Charlie", "2nd", "_x"}) s.OpenProfile(n);
  EXPECT_EQ(s.ProfileNames(),
            (std::vector<AnsiString>{"_x", "2nd", "alpha", "Bravo", "Charlie", "delta"}));
  EXPECT_NE(s.FindProfile("CHARLIE"), nullptr);
  EXPECT_EQ(s.FindProfile("echo"), nullptr);
}

TEST(SignerList, CloseProfileOfAnUnknownNameFails) {
  TCBRSigner s(true);
  EXPECT_EQ(MessageOf([&] { s.CloseProfile("Нет"); }), "Профиль \"Нет\" не найден");
  s.OpenProfile("a");
  EXPECT_EQ(MessageOf([&] { s.CloseProfile("b"); }), "Профиль \"b\" не найден");
}

TEST(SignerList, TestModeProfileIsReleasedAtItsClose) {
  TCBRSigner s(true);
  s.OpenProfile("a");
  s.OpenProfile("A");
  EXPECT_EQ(s.ProfileCount(), 1u);
  // In test mode opening does not count, so the first close releases it.
  s.CloseProfile("a");
  EXPECT_EQ(s.ProfileCount(), 0u);
  EXPECT_EQ(MessageOf([&] { s.CloseProfile("a"); }), "Профиль \"a\" не найден");
}

// --- Extract ----------------------------------------------------------------------------

TEST(SignerExtract, EnvelopeGivesTheDocumentWithoutDeclaration) {
  TCBRSigner s(false);
  std::string doc = kHeader + "<m xmlns=\"urn:m\">Ф</m>";
  WideString env = W(Envelope("AAAA", Lumo::Base::EncodeBase64(doc)));
  EXPECT_EQ(U(s.ExtractXml(env)), "<m xmlns=\"urn:m\">Ф</m>");
}

TEST(SignerExtract, DocumentWithoutObjectIsReturnedItself) {
  TCBRSigner s(false);
  // No canonical pass here: the input comes back as the document model writes it.
  EXPECT_EQ(U(s.ExtractXml(u"<b:R xmlns:b=\"urn:q\" z=\"1\" a=\"2\"><b:C/></b:R>")),
            "<b:R xmlns:b=\"urn:q\" z=\"1\" a=\"2\"><b:C/></b:R>");
}

TEST(SignerExtract, RootNameIsNotExamined) {
  TCBRSigner s(false);
  WideString env = u"<anything><x:Object xmlns:x=\"urn:x\">" +
                   W(Lumo::Base::EncodeBase64("<in/>")) + u"</x:Object></anything>";
  EXPECT_EQ(U(s.ExtractXml(env)), "<in/>");
}

TEST(SignerExtract, MalformedInputOrContentIsAnXmlError) {
  TCBRSigner s(false);
  EXPECT_THROW(s.ExtractXml(u"<a>"), Lumo::Base::EXmlParserError);
  EXPECT_THROW(s.ExtractXml(u""), Lumo::Base::EXmlParserError);
  EXPECT_THROW(s.ExtractXml(W(Envelope("", Lumo::Base::EncodeBase64("<x>")))),
               Lumo::Base::EXmlParserError);
}

TEST(SignerExtract, NeedsNoProviderAndNoProfile) {
  NoProvider none;
  TCBRSigner s(false);  // not test mode: a profile would need the provider
  WideString env = W(Envelope("AAAA", Lumo::Base::EncodeBase64("<in/>")));
  WideString value;
  s.SignXml(u"", env, Lumo::Base::saExtract, value);
  EXPECT_EQ(U(value), "<in/>");
  s.SignXml(u"no such profile", env, static_cast<uint8_t>(261), value);
  EXPECT_EQ(U(value), "<in/>");
  EXPECT_EQ(s.ProfileCount(), 0u);
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());

  TempDir dir;
  WriteFile(dir.File("env.xml"), Lumo::Base::Utf8Encode(env));
  s.SignFile("", dir.File("env.xml"), dir.File("out.xml"), Lumo::Base::saExtract);
  EXPECT_EQ(ReadFile(dir.File("out.xml")), "<in/>");  // UTF-8, no declaration
  EXPECT_EQ(s.ProfileCount(), 0u);
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
}

TEST(SignerExtract, FileExtractWritesUtf8WithoutDeclaration) {
  TCBRSigner s(true);
  TempDir dir;
  std::string doc = "<?xml version=\"1.0\" encoding=\"windows-1251\"?><m>\xC6</m>";
  WriteFile(dir.File("env.xml"), Envelope("", Lumo::Base::EncodeBase64(doc)));
  s.SignFile("k", dir.File("env.xml"), dir.File("out.xml"), Lumo::Base::saExtract);
  EXPECT_EQ(ReadFile(dir.File("out.xml")), "<m>Ж</m>");
  // A plain document comes back as it is.
  WriteFile(dir.File("plain.xml"), "<?xml version=\"1.0\"?>\n<p a=\"1\"/>");
  s.SignFile("k", dir.File("plain.xml"), dir.File("out.xml"), Lumo::Base::saExtract);
  EXPECT_EQ(ReadFile(dir.File("out.xml")), "<p a=\"1\"/>");
}

TEST(SignerExtract, FailingFileExtractWritesNothing) {
  TCBRSigner s(true);
  TempDir dir;
  WriteFile(dir.File("bad.xml"), "<a>");
  WriteFile(dir.File("out.xml"), "old");
  EXPECT_THROW(s.SignFile("k", dir.File("bad.xml"), dir.File("out.xml"), Lumo::Base::saExtract),
               Lumo::Base::EXmlParserError);
  EXPECT_EQ(ReadFile(dir.File("out.xml")), "old");
  EXPECT_THROW(s.SignFile("k", dir.File("bad.xml"), dir.File("new.xml"), Lumo::Base::saExtract),
               Lumo::Base::EXmlParserError);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"bad.xml", "out.xml"}));
}

// --- The entry points in test mode --------------------------------------------------------

TEST(SignerTestMode, TextActionsMatchTheProfileAndReleaseIt) {
  TCBRSigner s(true);
  TProfile reference(nullptr, "ref");
  reference.TestMode = true;
  for (uint8_t action : Actions({0, 1, 2, 3, 4, 6, 77})) {
    WideString input = action == 6 ? W(Lumo::Base::EncodeBase64("<x/>")) : ExampleText();
    if (action == 4)
      input = Body([&] {
        WideString env;
        reference.SignXml(ExampleText(), Lumo::Base::saEnvelope, env);
        return env;
      }());
    WideString expected, value;
    reference.SignXml(input, action, expected);
    s.SignXml(u"Profile", input, action, value);
    EXPECT_EQ(value, expected) << int(action);
    EXPECT_EQ(s.ProfileCount(), 0u);
  }
}

TEST(SignerTestMode, RootTextAndFileGiveTheNumberedBytes) {
  TCBRSigner s(true);
  WideString value;
  s.SignXml(u"p", ExampleText(), Lumo::Base::saRoot, value);
  EXPECT_EQ(SignatureBytes(Lumo::Dom::LoadXmlString(Body(value))), kExampleNumbered);
  TempDir dir;
  WriteFile(dir.File("in.xml"), kExampleFile);
  s.SignFile("p", dir.File("in.xml"), dir.File("out.xml"), Lumo::Base::saRoot);
  EXPECT_EQ(ReadFile(dir.File("out.xml")), Lumo::Base::Utf8Encode(value));
}

TEST(SignerTestMode, FailedActionsReleaseTheProfileAndWriteNothing) {
  TCBRSigner s(true);
  WideString value = u"keep";
  EXPECT_THROW(s.SignXml(u"p", u"<broken", Lumo::Base::saRoot, value), Lumo::Base::EXmlParserError);
  EXPECT_EQ(s.ProfileCount(), 0u);
  TempDir dir;
  WriteFile(dir.File("in.xml"), "<broken");
  EXPECT_THROW(s.SignFile("p", dir.File("in.xml"), dir.File("out.xml"), Lumo::Base::saRoot),
               Lumo::Base::EXmlParserError);
  EXPECT_EQ(s.ProfileCount(), 0u);
  EXPECT_FALSE(fs::exists(dir.File("out.xml")));
}

// --- Without a provider -----------------------------------------------------------------

TEST(SignerNoProvider, FailingOpenLeavesTheProfileListedUntilDestruction) {
  NoProvider none;
  auto s = std::make_unique<TCBRSigner>(false);
  WideString value;
  EXPECT_THROW(s->SignXml(u"p", ExampleText(), Lumo::Base::saRoot, value),
               Lumo::Base::ESignaturaError);
  EXPECT_TRUE(value.empty());
  ASSERT_EQ(s->ProfileCount(), 1u);
  EXPECT_EQ(s->FindProfile("p")->OpenCount, 0);
  EXPECT_EQ(s->FindProfile("p")->Context, 0u);
  TempDir dir;
  WriteFile(dir.File("in.xml"), kExampleFile);
  EXPECT_THROW(s->SignFile("P", dir.File("in.xml"), dir.File("out.xml"), Lumo::Base::saRoot),
               Lumo::Base::ESignaturaError);
  EXPECT_EQ(s->ProfileCount(), 1u);
  EXPECT_FALSE(fs::exists(dir.File("out.xml")));
  s.reset();  // destroys the listed profile without touching the provider
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
}

TEST(SignerNoProvider, ProviderErrorCarriesTheSystemText) {
  NoProvider none;
  TCBRSigner s(false);
  try {
    s.OpenProfile("p");
    FAIL() << "no error";
  } catch (const Lumo::Base::ESignaturaError& e) {
    EXPECT_FALSE(e.Message().empty());
    EXPECT_TRUE(e.FunctionName.empty());
  }
}
