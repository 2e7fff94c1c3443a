// Checking what Root and Childs signed: in test mode for the shapes of documents and the
// edits a signed document may or may not survive, and through the test provider for the
// provider's verdicts.
#include "sign/signature_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "provider/signatura.h"
#include "sign/profile.h"
#include "test_provider_control.h"
#include "tests/sign/test_support.h"

using Lumo::Base::WideString;
using Lumo::Sign::CheckSignatures;
using Lumo::Sign::SignatureVerdict;
using Lumo::Sign::SignedBy;
using Lumo::Sign::TProfile;

namespace {

// Documents of different shapes, each signable by Root and by Childs.
const char* const kDocuments[] = {
    ("<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\" EDNo=\"1\" EDDate=\"2026-01-01\">"
     "<ed:Payer INN=\"7700000000\"><ed:Name>Ivan &amp; Co</ed:Name></ed:Payer>"
     "<ed:Payee><ed:Name>Petr</ed:Name></ed:Payee></ed:ED101>"),
    ("<a:root xmlns:a=\"urn:other\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
     "xsi:type=\"t\"><a:x b=\"1\" c=\"2\">text<![CDATA[<raw>]]>more</a:x><y>  spaced  "
     "</y></a:root>"),
    "<r>lead<first/>mid<second k=\"&quot;q&quot;\">tail</second></r>",
    // A signature value deeper in the document is signed content, not the signature.
    "<r><c><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJD</dsig:SigValue>x</c><d/></r>",
    // A child's attribute prefix left unbound by its canonical form, which the result's
    // root then declares for the namespace the child saw: the bytes come back all the same.
    "<p xmlns=\"b\" xmlns:n2=\"a\" n2:a=\"\">"
    "<q n2:z=\"\"/><r/></p>",
};

struct TestProfile {
  TProfile profile{nullptr, "test"};
  TestProfile() { profile.TestMode = true; }
  std::string Sign(const std::string& xml, uint8_t action) {
    WideString value;
    profile.SignXml(Lumo::Base::WideFromUtf8(xml), action, value);
    return Lumo::Base::Utf8FromWide(value.substr(Lumo::Base::XmlHeader.size()));
  }
  std::vector<SignatureVerdict> Check(const std::string& xml, SignedBy action) {
    return CheckSignatures(profile, Lumo::Dom::LoadXmlString(Lumo::Base::WideFromUtf8(xml)),
                           action);
  }
};

std::string Reasons(const std::vector<SignatureVerdict>& verdicts) {
  std::string s;
  for (const auto& v : verdicts)
    s += std::to_string(v.index) + ": " + (v.verified ? "OK" : v.reason) + "\n";
  return s;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from << " not in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

}  // namespace

TEST(SignatureCheck, WhatRootAndChildsSignChecks) {
  for (const char* doc : kDocuments) {
    TestProfile p;
    auto root = p.Check(p.Sign(doc, Lumo::Base::saRoot), SignedBy::Root);
    ASSERT_EQ(root.size(), 1u) << doc;
    EXPECT_TRUE(root[0].verified) << doc << "\n" << Reasons(root);
    auto childs = p.Check(p.Sign(doc, Lumo::Base::saChilds), SignedBy::Childs);
    EXPECT_GE(childs.size(), 2u) << doc;
    if (doc != kDocuments[4]) {
      EXPECT_TRUE(Lumo::Sign::AllVerified(childs)) << doc << "\n" << Reasons(childs);
      continue;
    }
    // The child's n2:z is bound by the packet's root, which no signature covers: the bytes
    // verify, but what a reader sees of the child was not signed.
    EXPECT_EQ(childs[0].code, Lumo::Sign::VerdictCode::CannotRebuild) << Reasons(childs);
    EXPECT_TRUE(childs[1].verified) << Reasons(childs);
  }
}

TEST(SignatureCheck, RootSignedBytesAreTheSignatureValueInTestMode) {
  TestProfile p;
  std::string signedText = p.Sign(kDocuments[0], Lumo::Base::saRoot);
  std::string value = signedText.substr(signedText.find("v1.1\">") + 6);
  value = value.substr(0, value.find('<'));
  EXPECT_EQ(Lumo::Base::EncodeBase64(Lumo::Sign::RootSignedBytes(
                Lumo::Dom::LoadXmlString(Lumo::Base::WideFromUtf8(kDocuments[0])))),
            value);
}

// Edits to a Root-signed copy of the first document: the ones that touch signed content
// break the check, the ones the canonical form does not see leave it intact.
TEST(SignatureCheck, EditsAfterSigning) {
  struct Edit {
    const char* what;
    const char* from;
    const char* to;
    bool stillVerifies;
  };
  const Edit kEdits[] = {
      {"one byte of text", "Ivan", "Ivam", false},
      {"an attribute value", "INN=\"7700000000\"", "INN=\"7700000001\"", false},
      {"an escaped character", "&amp;", "&amp;&amp;", false},
      {"a root attribute value", "EDNo=\"1\"", "EDNo=\"2\"", false},
      {"a prefix", "<ed:Payee><ed:Name>Petr</ed:Name></ed:Payee>",
       "<p:Payee xmlns:p=\"urn:dez-ru:ed:v2.0\"><p:Name>Petr</p:Name></p:Payee>", true},
      {"attribute order", "EDDate=\"2026-01-01\" EDNo=\"1\"", "EDNo=\"1\" EDDate=\"2026-01-01\"",
       true},
      {"white space between elements", "</ed:Payer>", "</ed:Payer>\n  \t", true},
      {"the signature value's own line breaks", "</dsig:SigValue>", "\r\n</dsig:SigValue>", true},
  };
  TestProfile p;
  const std::string signedText = p.Sign(kDocuments[0], Lumo::Base::saRoot);
  for (const Edit& e : kEdits) {
    auto verdicts = p.Check(Replace(signedText, e.from, e.to), SignedBy::Root);
    EXPECT_EQ(Lumo::Sign::AllVerified(verdicts), e.stillVerifies) << e.what << "\n"
                                                                  << Reasons(verdicts);
  }
}

TEST(SignatureCheck, ChildOrderAndEachChildAreCovered) {
  TestProfile p;
  const std::string payer =
      "<ed:Payer INN=\"7700000000\"><ed:Name>Ivan &amp; Co</ed:Name></ed:Payer>";
  const std::string payee = "<ed:Payee><ed:Name>Petr</ed:Name></ed:Payee>";
  std::string swapped =
      Replace(p.Sign(kDocuments[0], Lumo::Base::saRoot), payer + payee, payee + payer);
  EXPECT_FALSE(Lumo::Sign::AllVerified(p.Check(swapped, SignedBy::Root)));

  // Childs: a change inside one child fails that child only; the root's own text is not
  // covered.
  std::string childs = p.Sign(kDocuments[0], Lumo::Base::saChilds);
  auto verdicts = p.Check(Replace(childs, "Petr", "Pete"), SignedBy::Childs);
  ASSERT_EQ(verdicts.size(), 2u);
  EXPECT_EQ(verdicts[0].index, 1);
  EXPECT_EQ(Lumo::Base::Utf8FromWide(verdicts[0].element), "ed:Payer");
  EXPECT_TRUE(verdicts[0].verified) << Reasons(verdicts);
  EXPECT_EQ(verdicts[1].index, 2);
  EXPECT_FALSE(verdicts[1].verified);
  EXPECT_TRUE(Lumo::Sign::AllVerified(p.Check(
      Replace(p.Sign(kDocuments[2], Lumo::Base::saChilds), "lead", "LEAD"), SignedBy::Childs)));
}

// Documents refused, and why: before any signature is compared, or (the last) when the
// signed bytes cannot be recomputed from the document.
TEST(SignatureCheck, ReasonsBeforeTheProviderIsAsked) {
  struct Case {
    const char* document;
    SignedBy action;
    const char* reasonHas;
  };
  const Case kCases[] = {
      {"<r><a/></r>", SignedBy::Root, "SigValue (urn:dez-ru:dsig:v1.1)"},
      {"<r><a/><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJD</dsig:SigValue></r>",
       SignedBy::Root, "SigValue (urn:dez-ru:dsig:v1.1)"},
      {"<r><x:SigValue xmlns:x=\"urn:other\">QUJD</x:SigValue></r>", SignedBy::Root,
       "SigValue (urn:dez-ru"},
      {"<r><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QU*D</dsig:SigValue></r>",
       SignedBy::Root, "Base64"},
      {"<r><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJ</dsig:SigValue></r>",
       SignedBy::Root, "Base64"},
      {"<r><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QQ==QUJD</dsig:SigValue></r>",
       SignedBy::Root, "Base64"},
      {"<r><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\"></dsig:SigValue></r>", SignedBy::Root,
       "Base64"},
      {"<r>text only</r>", SignedBy::Childs, "нет дочерних"},
      {"<r><a>unsigned</a></r>", SignedBy::Childs, "SigValue (urn:dez-ru:dsig:v1.1)"},
      // What Childs makes of <p xmlns="b" xmlns:x="c" x:a=""><q xmlns:n2="a" n2:z=""/></p>:
      // the root's n2 binds the child's kept n2:z, left unbound in what was signed.
      {"<n1:p xmlns:n1=\"b\" xmlns:n2=\"c\" x:a=\"\"><n1:q xmlns:n1=\"b\" n2:z=\"\"><dsig:SigValue "
       "xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">PG4xOnEgeG1sbnM6bjE9ImIiIG4yOno9IiI+PC9uMTpxPg==</"
       "dsig:SigValue>"
       "</n1:q></n1:p>",
       SignedBy::Childs, "нельзя восстановить по этому документу: префикс атрибута n2:z"},
  };
  for (const Case& c : kCases) {
    TestProfile p;
    auto verdicts = p.Check(c.document, c.action);
    ASSERT_EQ(verdicts.size(), 1u) << c.document;
    EXPECT_FALSE(verdicts[0].verified) << c.document;
    EXPECT_NE(verdicts[0].reason.find(c.reasonHas), std::string::npos) << c.document << "\n"
                                                                       << verdicts[0].reason;
  }
}

// Through a provider: what it signed verifies, and each failing signer's text comes back.
class SignatureCheckWithProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    Lumo::Provider::SetProviderLibraryName(LUMO_TEST_PROVIDER_PATH);
    TestProvider_Reset();
  }
  void TearDown() override {
    TestProviderStats st;
    TestProvider_GetStats(&st);
    EXPECT_EQ(st.openContexts, 0);
    EXPECT_EQ(st.outstandingVerifyResults, 0);
    EXPECT_EQ(st.badRecords, 0u);
    TestProvider_Reset();
  }
};

TEST_F(SignatureCheckWithProvider, VerdictsOfTheProvider) {
  TProfile profile(nullptr, "Alpha");
  profile.Open();
  WideString signedText;
  profile.SignXml(Lumo::Base::WideFromUtf8(kDocuments[1]), Lumo::Base::saRoot, signedText);
  auto check = [&](const WideString& text) {
    return CheckSignatures(profile, Lumo::Dom::LoadXmlString(text), SignedBy::Root);
  };
  auto good = check(signedText);
  EXPECT_TRUE(Lumo::Sign::AllVerified(good)) << Reasons(good);

  std::string changed = Replace(Lumo::Base::Utf8FromWide(signedText), "more", "mort");
  auto bad = check(Lumo::Base::WideFromUtf8(changed));
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_FALSE(bad[0].verified);
  EXPECT_FALSE(bad[0].reason.empty());

  // Bytes the document cannot give back are not put to the provider's judgement.
  WideString unrebuildable;
  profile.SignXml(Lumo::Base::WideFromUtf8(
                      "<p xmlns=\"b\" xmlns:x=\"c\" x:a=\"\"><q xmlns:n2=\"a\" n2:z=\"\"/></p>"),
                  Lumo::Base::saChilds, unrebuildable);
  auto refused =
      CheckSignatures(profile, Lumo::Dom::LoadXmlString(unrebuildable), SignedBy::Childs);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_FALSE(refused[0].verified);
  EXPECT_TRUE(refused[0].cannotRebuild);
  EXPECT_EQ(
      refused[0].reason.rfind("Ошибка проверки ЭП: подписанные данные нельзя восстановить", 0), 0u)
      << refused[0].reason;

  // A signature that verifies over a document that shows more than was signed.
  auto shown = check(Lumo::Base::WideFromUtf8(
      Replace(Lumo::Base::Utf8FromWide(signedText), "</n1:root>", "<?pi x?></n1:root>")));
  EXPECT_EQ(shown[0].code, Lumo::Sign::VerdictCode::UnsignedContent) << Reasons(shown);
  EXPECT_EQ(shown[0].reason, "UNSIGNED CONTENT: processing instruction");

  TestProvider_Script(
      "signers=E0700020,0,E0700021;text=E0700020:first bad;text=E0700021:second bad");
  auto scripted = check(signedText);
  ASSERT_EQ(scripted.size(), 1u);
  EXPECT_FALSE(scripted[0].verified);
  EXPECT_EQ(scripted[0].reason, "first bad\r\nsecond bad");
  // The provider's own status stays with its refusal, whichever way it came.
  EXPECT_EQ(scripted[0].code, Lumo::Sign::VerdictCode::Failed);
  EXPECT_EQ(scripted[0].providerStatus, 0xE0700019u);
  TestProvider_Script("verify=E0700020");
  auto direct = check(signedText);
  EXPECT_EQ(direct[0].providerStatus, 0xE0700020u) << Reasons(direct);
  profile.Close();
}

// Verify refuses an envelope with a part given twice: what the second carries nobody
// signed, and a reader may take it for the first.
TEST_F(SignatureCheckWithProvider, EnvelopeWithAPartTwiceIsRefused) {
  TProfile profile(nullptr, "Alpha");
  profile.Open();
  WideString envelope;
  profile.SignXml(Lumo::Base::WideFromUtf8(kDocuments[0]), Lumo::Base::saEnvelope, envelope);
  const std::string text = Lumo::Base::Utf8FromWide(envelope);
  WideString out;
  profile.SignXml(envelope, Lumo::Base::saVerify, out);  // as written, it verifies
  struct Case {
    const char* part;
    const char* after;
    const char* second;
  };
  const Case kCases[] = {
      {"Object", "</sen:Object>", "<sen:Object>PGEvPg==</sen:Object>"},
      {"SigContainer", "</sen:SigContainer>",
       "<sen:SigContainer><dsig:MACValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJD</dsig:MACValue>"
       "</sen:SigContainer>"},
      {"MACValue", "</dsig:MACValue>",
       "<dsig:MACValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJD</dsig:MACValue>"},
  };
  for (const Case& c : kCases) {
    std::string twice = text;
    twice.insert(twice.find(c.after) + std::string(c.after).size(), c.second);
    try {
      profile.SignXml(Lumo::Base::WideFromUtf8(twice), Lumo::Base::saVerify, out);
      ADD_FAILURE() << c.part << " twice verified";
    } catch (const Lumo::Base::EDocumentRefused& e) {
      EXPECT_EQ(e.Message(),
                std::string("Ошибка проверки КА: в конверте второй элемент ") + c.part);
    }
  }
  profile.Close();
}
