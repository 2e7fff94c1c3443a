// Key profile actions in test mode, on text and on files; the failure messages that need
// no provider.
#include "sign/profile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <iterator>
#include <thread>

#include "base/errors.h"
#include "canon/canonical.h"
#include "sign/envelope.h"
#include "sign/signer.h"
#include "tests/sign/test_support.h"
#include "canon/shortcut.h"

using namespace SignTest;
using Lumo::Base::AnsiString;
using Lumo::Base::ByteString;
using Lumo::Base::WideString;
using Lumo::Sign::TCBRSigner;
using Lumo::Sign::TProfile;

namespace {

// A profile in test mode without owner, opened (opening changes nothing in test mode).
struct TestProfile {
  TProfile profile{nullptr, "test"};
  TestProfile() {
    profile.TestMode = true;
    profile.Open();
  }
  WideString Sign(const WideString& xml, uint8_t action) {
    WideString value;
    profile.SignXml(xml, action, value);
    return value;
  }
};

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Lumo::Base::ELumoException& e) {
    return e.Message();
  }
  return "(no error)";
}

}  // namespace

// --- Root ----------------------------------------------------------------------------

TEST(ProfileRoot, WorkedExampleSignsTheNumberedCanonicalBytes) {
  TestProfile p;
  WideString result = p.Sign(ExampleText(), Lumo::Base::saRoot);
  std::string expected = kHeader +
                         "<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\" EDDate=\"2026-01-01\" "
                         "EDNo=\"1\"><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">" +
                         Lumo::Base::EncodeBase64(kExampleNumbered) + "</dsig:SigValue>" +
                         kExampleFixedXml.substr(kExampleFixedXml.find("<ed:Payer"));
  EXPECT_EQ(U(result), expected);
}

TEST(ProfileRoot, SignedBytesAreNumberedFormOfFixedFormReparsed) {
  TestProfile p;
  const std::string doc =
      "<a:Doc xmlns:a=\"urn:dez-ru:ed:v2.0\" xmlns:b=\"urn:other\" z=\"1\" b:y=\"2\">"
      "<a:Item>Текст</a:Item><b:Other q=\"&quot;\"/></a:Doc>";
  WideString result = p.Sign(W(doc), Lumo::Base::saRoot);
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(Body(result));
  EXPECT_EQ(SignatureBytes(root), NumberedOfFixed(W(doc)));
}

TEST(ProfileRoot, EmptyRootGetsTheSignatureValueAsOnlyChild) {
  TestProfile p;
  WideString result = p.Sign(u"<a/>", Lumo::Base::saRoot);
  EXPECT_EQ(U(result), kHeader + "<a><dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">" +
                           Lumo::Base::EncodeBase64(NumberedOfFixed(u"<a/>")) +
                           "</dsig:SigValue></a>");
}

TEST(ProfileRoot, PrefixesAndAttributeOrderDoNotChangeTheSignedBytes) {
  TestProfile p;
  WideString one = p.Sign(u"<x:R xmlns:x=\"urn:dez-ru:ed:v2.0\" a=\"1\" b=\"2\"><x:C/></x:R>",
                          Lumo::Base::saRoot);
  WideString two =
      p.Sign(u"<R xmlns=\"urn:dez-ru:ed:v2.0\" b=\"2\" a=\"1\"><C></C></R>", Lumo::Base::saRoot);
  EXPECT_EQ(SignatureBytes(Lumo::Dom::LoadXmlString(Body(one))),
            SignatureBytes(Lumo::Dom::LoadXmlString(Body(two))));
  EXPECT_EQ(one, two);
}

TEST(ProfileRoot, AnExistingSignatureValueStaysAndIsSigned) {
  TestProfile p;
  WideString first = p.Sign(u"<a><b/></a>", Lumo::Base::saRoot);
  WideString second = p.Sign(Body(first), Lumo::Base::saRoot);
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(Body(second));
  // New value first, the old one still there after it, and covered by the new one.
  Lumo::Dom::Node newSig = Lumo::Dom::FindChildElement(root, "");
  Lumo::Dom::Node oldSig = Lumo::Dom::FindNextElement(newSig, "");
  EXPECT_EQ(U(oldSig.baseName()), "SigValue");
  ByteString signedBytes = SignatureBytes(root);
  EXPECT_NE(signedBytes.find("SigValue"), std::string::npos);
}

TEST(ProfileRoot, ASecondFixedPassIsSkippedOnlyWhereItWouldGiveTheSameText) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  // Root takes the fixed-prefix text of the input, parses it into R, and (as its first
  // step) takes the fixed-prefix text of R again. Where the first text is known to be its
  // own fixed-prefix form, R is signed as it stands, and SignXml and SignFile take the
  // signed bytes and the result's markup from that text without building R at all; every
  // way must give the literal path's result, error or document.
  struct Case {
    std::string doc;
    bool settled;
  };
  const Case cases[] = {
      {kExampleFile, true},
      {"<R xmlns=\"urn:dez-ru:ed:v2.0\" a=\"x&#9;y\"><C>t&#13;</C><![CDATA[d]]></R>", true},
      // A prefixed attribute: its prefix may resolve otherwise in the canonical text.
      {"<a:Doc xmlns:a=\"urn:dez-ru:ed:v2.0\" xmlns:b=\"urn:other\" b:y=\"2\"/>", false},
      {"<p xmlns:n1=\"urn:b\" n1:a=\"1\" xmlns=\"urn:a\"><q/></p>", false},
      // An attribute named like a declaration is dropped, but its namespace was declared
      // for it: the next pass drops that declaration and numbers the element anew.
      {"<a xmlns:p=\"urn:p\" p:xmlns=\"1\"/>", false},
      {"<S:Doc xmlns:S=\"urn:s\" xmlns:p=\"urn:a\" p:xmlns=\"1\"><S:Sum>1</S:Sum></S:Doc>", false},
      {"<e:R xmlns:e=\"urn:dez-ru:ed:v2.0\"><e:C xmlns:p=\"urn:z\" p:xmlns=\"\">t</e:C></e:R>",
       false},
      // '&' and '<' stay as they are in canonical attribute values: parsed again they
      // change the value, or no longer parse.
      {"<a t=\"x&amp;lt;y\">v</a>", false},
      {"<a t=\"x&amp;amp;y\">v</a>", false},
      {"<a t=\"x&amp;y\">v</a>", false},
      // Read from the text: empty elements, '>' and quotes in values, line ends in text
      // and CDATA, references, characters beyond the basic plane, namespaces changing
      // and coming back, elements in no namespace, a root without children.
      {"<e:R xmlns:e=\"urn:dez-ru:ed:v2.0\" q='a\"b&gt;c' z=\"1\"><e:E/><x:E "
       "xmlns:x=\"urn:x\"><e:E>\n"
       "l1\r\nl2 &amp; &lt;&gt;</e:E></x:E><P><e:Q/></P><![CDATA[a\r\nb]]>\xF0\x90\x80\x80</e:R>",
       true},
      {"<Root/>", true},
      {"<s:Root xmlns:s=\"urn:dez-ru:dsig:env:v1.1\"></s:Root>", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doc);
    bool settled = !c.settled;
    Lumo::Canon::FixedCanonicalText(Lumo::Dom::LoadXmlString(W(c.doc)), settled);
    EXPECT_EQ(settled, c.settled);

    TestProfile p;
    std::string viaProcess, literal;
    try {
      viaProcess =
          U(p.profile.Process(Lumo::Dom::LoadXmlString(W(c.doc)), Lumo::Base::saRoot).xml());
    } catch (const Lumo::Base::ELumoException& e) {
      viaProcess = "error: " + e.Message();
    }
    try {
      Lumo::Dom::Node r = Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(FixedForm(W(c.doc))));
      literal = U(p.profile.SignRoot(r).xml());
    } catch (const Lumo::Base::ELumoException& e) {
      literal = "error: " + e.Message();
    }
    EXPECT_EQ(viaProcess, literal);

    std::string viaText;
    try {
      viaText = U(p.Sign(W(c.doc), Lumo::Base::saRoot));
    } catch (const Lumo::Base::ELumoException& e) {
      viaText = "error: " + e.Message();
    }
    EXPECT_EQ(viaText,
              literal.rfind("error: ", 0) == 0 ? literal : U(Lumo::Base::XmlHeader) + literal);
  }
}

// --- Childs --------------------------------------------------------------------------

static void CheckChildsSignedAlone(const std::string& doc) {
  TestProfile p;
  WideString result = p.Sign(W(doc), Lumo::Base::saChilds);
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(Body(result));
  ASSERT_TRUE(root);
  // The root itself carries no signature value.
  Lumo::Dom::Node a = Lumo::Dom::FindChildElement(root, "");
  ASSERT_TRUE(a);
  EXPECT_EQ(U(a.baseName()), "A");
  Lumo::Dom::Node b = Lumo::Dom::FindNextElement(a, "");
  ASSERT_TRUE(b);
  EXPECT_EQ(U(b.baseName()), "B");
  EXPECT_FALSE(Lumo::Dom::FindNextElement(b, ""));

  // Each signature covers exactly that child, taken from the fixed form.
  Lumo::Dom::Node fixed = Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(FixedForm(W(doc))));
  Lumo::Dom::Node fa = Lumo::Dom::FindChildElement(fixed, "");
  Lumo::Dom::Node fb = Lumo::Dom::FindNextElement(fa, "");
  EXPECT_EQ(SignatureBytes(a), NumberedOfFixed(fa.xml()));
  EXPECT_EQ(SignatureBytes(b), NumberedOfFixed(fb.xml()));
  EXPECT_EQ(SignatureBytes(a).find(":B"), std::string::npos);
  EXPECT_EQ(SignatureBytes(b).find(":A"), std::string::npos);
}

TEST(ProfileChilds, EachChildElementIsSignedAlone) {
  CheckChildsSignedAlone("<P n=\"2\">text<A k=\"1\"><X/></A><!--c--><B>Б</B></P>");
}

TEST(ProfileChilds, NamespacedChildrenAreSignedAlone) {
  SKIP_UNLESS_CHILD_XML_CARRIES_NAMESPACES();
  CheckChildsSignedAlone(
      "<P xmlns=\"urn:dez-ru:ed:v2.0\" n=\"2\">text<A k=\"1\"><X/></A><!--c--><B>Б</B></P>");
}

TEST(ProfileChilds, RootWithoutChildElementsGivesTheCanonicalForm) {
  TestProfile p;
  const std::string doc = "<R xmlns=\"urn:dez-ru:ed:v2.0\" b=\"1\">just text</R>";
  EXPECT_EQ(Body(p.Sign(W(doc), Lumo::Base::saChilds)), FixedXml(W(doc)));
}

// --- Envelope, Verify, Extract ---------------------------------------------------------

TEST(ProfileEnvelope, TestModeLayoutCarriesDeclarationAndMarkupTwice) {
  TestProfile p;
  WideString result = p.Sign(ExampleText(), Lumo::Base::saEnvelope);
  std::string carried = kHeader + kExampleFixedXml;
  std::string b64 = Lumo::Base::EncodeBase64(carried);
  EXPECT_EQ(U(result), kHeader + Envelope(b64, b64));
}

TEST(ProfileEnvelope, WrittenFromItsTextAsTheTreeRouteWritesIt) {
  const char* docs[] = {
      "<a/>",
      ("<e:R xmlns:e=\"urn:e\" k=\"1 &gt; 0\">\n  <e:C>\xD0\x91 &amp; "
       "\xF0\x9F\x98\x80</e:C>\n</e:R>"),
      "<r><![CDATA[x]]><!--c--><?p d?></r>",
      // Canonical texts that are their own fixed-prefix form: markup written from the text.
      "<p:R xmlns:p=\"urn:p\" a=\"x&gt;y&quot;\"><p:S>l1\nl2 &lt;</p:S><T></T></p:R>",
      "<R><![CDATA[a\nb]]><S/></R>",
  };
  for (const char* doc : docs) {
    SCOPED_TRACE(doc);
    TestProfile p;
    const std::string treeRoute =
        U(p.profile.Process(Lumo::Dom::LoadXmlString(W(doc)), Lumo::Base::saEnvelope).xml());
    EXPECT_EQ(U(p.Sign(W(doc), Lumo::Base::saEnvelope)), kHeader + treeRoute);
  }
}

TEST(ProfileEnvelope, WrittenEnvelopesReadWithoutTheirTreeAsTheLongWayReadsThem) {
  // An envelope as written is read from its text; with a comment after it, the same
  // envelope takes the long way (tree, canonical pass).
  const std::string docs[] = {
      kExampleFile,
      "<r a=\"1\">\xF0\x9F\x98\x80 &amp; \xD0\x91<e/></r>",
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>\xC1</r>",
  };
  for (const std::string& doc : docs) {
    SCOPED_TRACE(doc);
    TestProfile p;
    const WideString written =
        Body(p.Sign(Lumo::Dom::LoadXmlBytes(doc).xml(), Lumo::Base::saEnvelope));
    for (const WideString& envelope :
         {written, WideString(Lumo::Base::XmlHeader) + u"\r\n" + written}) {
      for (uint8_t action : {Lumo::Base::saVerify, Lumo::Base::saExtract}) {
        const std::string shortcut = U(p.Sign(envelope, action));
        EXPECT_EQ(shortcut, U(p.Sign(envelope + u"<!---->", action)));
        EXPECT_EQ(shortcut,
                  kHeader + U(p.profile.Process(Lumo::Dom::LoadXmlString(envelope), action).xml()));
      }
      TCBRSigner signer(true);
      EXPECT_EQ(U(signer.ExtractXml(envelope)), U(signer.ExtractXml(envelope + u"<!---->")));
    }
  }
}

TEST(ProfileEnvelope, RoundTripThroughVerifyAndExtractGivesTheFixedForm) {
  TestProfile p;
  WideString envelope = Body(p.Sign(ExampleText(), Lumo::Base::saEnvelope));
  EXPECT_EQ(U(p.Sign(envelope, Lumo::Base::saVerify)), kHeader + kExampleFixedXml);
  EXPECT_EQ(U(p.Sign(envelope, Lumo::Base::saExtract)), kHeader + kExampleFixedXml);
}

TEST(ProfileEnvelope, CharactersBeyondBmpSurviveTheRoundTrip) {
  // The carried bytes hold U+1F600 as two three-byte sequences, as signed.
  TestProfile p;
  WideString doc = u"<R xmlns=\"urn:dez-ru:ed:v2.0\" a=\"\U0001F600\">x\U0001F600y</R>";
  WideString envelope = Body(p.Sign(doc, Lumo::Base::saEnvelope));
  const std::string fixed =
      "<ed:R xmlns:ed=\"urn:dez-ru:ed:v2.0\" a=\"\xF0\x9F\x98\x80\">x\xF0\x9F\x98\x80y</ed:R>";
  EXPECT_EQ(U(p.Sign(envelope, Lumo::Base::saVerify)), kHeader + fixed);
  EXPECT_EQ(U(p.Sign(envelope, Lumo::Base::saExtract)), kHeader + fixed);
  // A lone encoded surrogate is still an error.
  std::string lone = Envelope("", Lumo::Base::EncodeBase64(kHeader + "<d>\xED\xA0\xBD</d>"));
  EXPECT_THROW(p.Sign(W(lone), Lumo::Base::saExtract), Lumo::Base::EXmlParserError);
}

TEST(ProfileEnvelope, ObjectBeforeContainerAndOtherPrefixesReadTheSame) {
  TestProfile p;
  std::string b64 = Lumo::Base::EncodeBase64(kHeader + "<d>1</d>");
  std::string swapped = "<e:SigEnvelope xmlns:e=\"urn:x\"><Object>" + b64 +
                        "</Object><e:SigContainer><MACValue>" + b64 +
                        "</MACValue></e:SigContainer></e:SigEnvelope>";
  EXPECT_EQ(U(p.Sign(W(swapped), Lumo::Base::saVerify)), kHeader + "<d>1</d>");
  EXPECT_EQ(U(p.Sign(W(swapped), Lumo::Base::saExtract)), kHeader + "<d>1</d>");
}

TEST(ProfileEnvelope, ObjectInLinesOf76DecodesLikeOneLine) {
  TestProfile p;
  std::string doc = kHeader + "<d>" + std::string(200, 'x') + "</d>";
  std::string b64 = Lumo::Base::EncodeBase64(doc);
  std::string broken;
  for (size_t i = 0; i < b64.size(); i += 76) broken += b64.substr(i, 76) + "\r\n";
  WideString result = p.Sign(W(Envelope("AAAA", broken)), Lumo::Base::saExtract);
  EXPECT_EQ(U(result), kHeader + "<d>" + std::string(200, 'x') + "</d>");
}

TEST(ProfileEnvelope, ExtractOfAPlainDocumentReturnsItsFixedForm) {
  TestProfile p;
  const std::string doc = "<R xmlns=\"urn:dez-ru:ed:v2.0\"><A/></R>";
  EXPECT_EQ(Body(p.Sign(W(doc), Lumo::Base::saExtract)), FixedXml(W(doc)));
}

TEST(ProfileEnvelope, DecodedContentInWindows1251IsReadByItsDeclaration) {
  TestProfile p;
  std::string bytes = "<?xml version=\"1.0\" encoding=\"windows-1251\"?><d>\xC0\xE1</d>";
  WideString result =
      p.Sign(W(Envelope("", Lumo::Base::EncodeBase64(bytes))), Lumo::Base::saExtract);
  EXPECT_EQ(U(result), kHeader + "<d>Аб</d>");
}

TEST(ProfileEnvelope, MalformedDecodedContentIsAnXmlError) {
  TestProfile p;
  std::string env = Envelope("", Lumo::Base::EncodeBase64("<d>"));
  EXPECT_THROW(p.Sign(W(env), Lumo::Base::saExtract), Lumo::Base::EXmlParserError);
}

// --- Base64Envelope -------------------------------------------------------------------

TEST(ProfileBase64Envelope, OneLineTextAppearsTwiceInTheTestModeLayout) {
  TestProfile p;
  std::string b = Lumo::Base::EncodeBase64("<payload>данные</payload>");
  EXPECT_EQ(U(p.Sign(W(b), Lumo::Base::saBase64Envelope)), kHeader + Envelope(b, b));
}

TEST(ProfileBase64Envelope, ClientTextIsKeptCharacterForCharacterLineBreaksIncluded) {
  TestProfile p;
  std::string data(300, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string oneLine = Lumo::Base::EncodeBase64(data);
  std::string b;
  for (size_t i = 0; i < oneLine.size(); i += 76) b += oneLine.substr(i, 76) + "\r\n";
  WideString result = p.Sign(W(b), Lumo::Base::saBase64Envelope);
  // The signature value is the one-line re-encoding; the object keeps the client's text.
  EXPECT_EQ(U(result), kHeader + Envelope(oneLine, b));
}

TEST(ProfileBase64Envelope, UnwrapsToTheClientsDocument) {
  TestProfile p;
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><m a=\"1\">Ж</m>";
  WideString env = Body(p.Sign(W(Lumo::Base::EncodeBase64(doc)), Lumo::Base::saBase64Envelope));
  EXPECT_EQ(U(p.Sign(env, Lumo::Base::saExtract)), kHeader + "<m a=\"1\">Ж</m>");
  EXPECT_EQ(U(p.Sign(env, Lumo::Base::saVerify)), kHeader + "<m a=\"1\">Ж</m>");
}

TEST(ProfileBase64Envelope, TextBeyondBase64OrWithoutDataIsRefusedBeforeSigning) {
  // The text would go into the envelope unescaped: markup in it would add elements to a
  // signed envelope. A real profile that is not open shows that nothing reaches signing.
  const std::string bad = "Ошибка формирования КА: Недопустимый символ в тексте Base64, позиция ";
  const std::string empty = "Ошибка формирования КА: Нет данных в тексте Base64";
  struct Case {
    WideString text;
    std::string message;
  } cases[] = {
      {u"SGVsbG8=</sen:Object><evil>x</evil><sen:Object>", bad + "9"},
      {u"QUJD<x", bad + "5"},
      {u"QUJD&", bad + "5"},
      {u"QUJD\n-_", bad + "6"},    // the URL-safe alphabet is another one
      {u"QUJD\u00A0", bad + "5"},  // no XML white space
      {u"\uFF31UJD", bad + "1"},   // would map to 'Q' in a code page
      {u"QUJD\x01", bad + "5"},
      {u"", empty},
      {u" \r\n\t", empty},
      {u"====", empty},
  };
  TProfile real(nullptr, "real");
  for (const Case& c : cases) {
    WideString value = u"old";
    EXPECT_EQ(MessageOf([&] { real.SignXml(c.text, Lumo::Base::saBase64Envelope, value); }),
              c.message)
        << U(c.text);
    EXPECT_EQ(value, u"old");
  }
  // White space of every XML kind and '=' pass, the text kept as it was given.
  TestProfile p;
  const std::string b = "QUJD\t\r\n RA==";
  EXPECT_EQ(U(p.Sign(W(b), Lumo::Base::saBase64Envelope)),
            kHeader + Envelope(Lumo::Base::EncodeBase64("ABCD"), b));
}

// --- Other codes ----------------------------------------------------------------------

TEST(ProfileOtherCodes, ZeroAndUnknownCodesGiveTheCanonicalForm) {
  TestProfile p;
  for (uint8_t code : {0, 7, 200, 255}) {
    EXPECT_EQ(U(p.Sign(ExampleText(), code)), kHeader + kExampleFixedXml) << int(code);
  }
}

// --- Failures on text -----------------------------------------------------------------

TEST(ProfileTextFailures, MalformedTextIsAnXmlErrorWithPosition) {
  TestProfile p;
  try {
    p.Sign(u"<a><b></a>", Lumo::Base::saRoot);
    FAIL() << "no error";
  } catch (const Lumo::Base::EXmlParserError& e) {
    EXPECT_NE(e.Message().find("Position: "), std::string::npos);
  }
  EXPECT_THROW(p.Sign(u"", Lumo::Base::saRoot), Lumo::Base::EXmlParserError);
}

TEST(ProfileVerifyFailures, EachMessageOutsideTestMode) {
  // No Open is needed to reach these checks: the provider is never called.
  TProfile p(nullptr, "real");
  WideString value = u"untouched";
  // Root not named SigEnvelope: processing error of the text entry point.
  EXPECT_EQ(MessageOf([&] {
              p.SignXml(
                  u"<sen:Envelope xmlns:sen=\"urn:x\"><sen:Object>QQ==</sen:Object></sen:Envelope>",
                  4, value);
            }),
            "Ошибка обработки XML");
  EXPECT_EQ(value, u"untouched");
  // No SigContainer\MACValue.
  EXPECT_EQ(MessageOf([&] {
              p.SignXml(u"<SigEnvelope><SigContainer/><Object>QQ==</Object></SigEnvelope>", 4,
                        value);
            }),
            "Ошибка проверки КА: Не найден элемент MACValue");
  EXPECT_EQ(
      MessageOf([&] { p.SignXml(u"<SigEnvelope><Object>QQ==</Object></SigEnvelope>", 4, value); }),
      "Ошибка проверки КА: Не найден элемент MACValue");
  // No Object.
  EXPECT_EQ(MessageOf([&] {
              p.SignXml(
                  u"<x:SigEnvelope "
                  u"xmlns:x=\"urn:y\"><SigContainer><MACValue>QQ==</MACValue></SigContainer></"
                  u"x:SigEnvelope>",
                  4, value);
            }),
            "Ошибка проверки КА: Не найден элемент Object");
  // The root's local name is compared exactly.
  EXPECT_EQ(MessageOf([&] {
              p.SignXml(
                  u"<sigenvelope><SigContainer><MACValue>QQ==</MACValue></"
                  u"SigContainer><Object>QQ==</Object></sigenvelope>",
                  4, value);
            }),
            "Ошибка обработки XML");
}

TEST(ProfileVerifyFailures, NonEnvelopeIsUnwrappedByExtractButNotVerified) {
  TProfile p(nullptr, "real");
  const WideString doc = u"<sen:Envelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\"><sen:Object>" +
                         W(Lumo::Base::EncodeBase64("<in/>")) + u"</sen:Object></sen:Envelope>";
  WideString value;
  p.SignXml(doc, Lumo::Base::saExtract, value);
  EXPECT_EQ(U(value), kHeader + "<in/>");
}

// --- Files ----------------------------------------------------------------------------

class ProfileFiles : public ::testing::Test {
 protected:
  TempDir dir;
  TestProfile p;
  std::string in = dir.File("in.xml");
  std::string out = dir.File("out.xml");
  void SetUp() override { WriteFile(in, kExampleFile); }
};

TEST_F(ProfileFiles, EveryActionWritesWhatTheTextEntryReturnsAsUtf8) {
  for (uint8_t action : Actions({0, 1, 2, 3, 5, 9})) {
    p.profile.SignFile(in, out, action);
    std::string bytes = ReadFile(out);
    EXPECT_EQ(bytes, U(p.Sign(ExampleText(), action))) << int(action);
    EXPECT_EQ(bytes.compare(0, kHeader.size(), kHeader), 0);
  }
}

TEST_F(ProfileFiles, RootFileCarriesTheNumberedBytes) {
  p.profile.SignFile(in, out, Lumo::Base::saRoot);
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlFile(out);
  EXPECT_EQ(SignatureBytes(root), kExampleNumbered);
}

TEST_F(ProfileFiles, EnvelopeFileRoundTrips) {
  std::string env = dir.File("env.xml");
  p.profile.SignFile(in, env, Lumo::Base::saEnvelope);
  p.profile.SignFile(env, out, Lumo::Base::saVerify);
  EXPECT_EQ(ReadFile(out), kHeader + kExampleFixedXml);
  p.profile.SignFile(env, out, Lumo::Base::saExtract);
  EXPECT_EQ(ReadFile(out), kHeader + kExampleFixedXml);
}

// The file entries that write an envelope's document as it is parsed: a document that
// fails after much of it went out leaves nothing, neither in a replaced file nor in a FIFO
// written in place; one that parses reaches the FIFO whole.
TEST_F(ProfileFiles, WrittenEnvelopesThatFailLeaveNoResult) {
  std::string big = "<r>";
  while (big.size() < 600 * 1024) big += "\n\t<c a=\"1\">text</c>";
  const std::string objects[] = {big, big + "</r><x/>", "<!--no root-->"};
  TCBRSigner signer(true);
  const std::function<void(const std::string&)> entries[] = {
      [&](const std::string& target) { p.profile.SignFile(in, target, Lumo::Base::saVerify); },
      [&](const std::string& target) { p.profile.SignFile(in, target, Lumo::Base::saExtract); },
      [&](const std::string& target) { signer.SignFile("k", in, target, Lumo::Base::saExtract); },
  };
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& object : objects) {
    const std::string b64 = Lumo::Base::EncodeBase64(object);
    WriteFile(in, Envelope(b64, b64));
    for (size_t e = 0; e < std::size(entries); ++e) {
      SCOPED_TRACE(std::to_string(e) + " on " + object.substr(object.size() - 10));
      WriteFile(out, "old");
      EXPECT_ANY_THROW(entries[e](out));
      EXPECT_ANY_THROW(entries[e](dir.File("new.xml")));
      EXPECT_EQ(ReadFile(out), "old");
      EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"fifo", "in.xml", "out.xml"}));
      const std::string received =
          ReadFifoDuring(fifo, [&] { EXPECT_ANY_THROW(entries[e](fifo)); });
      EXPECT_EQ(received, "");
    }
  }
  const std::string b64 = Lumo::Base::EncodeBase64(big + "</r>");
  WriteFile(in, Envelope(b64, b64));
  for (const auto& entry : entries) {
    entry(out);
    std::string received;
    std::thread reader([&] { received = ReadFile(fifo); });
    entry(fifo);
    reader.join();
    EXPECT_EQ(received, ReadFile(out));
  }
}

TEST_F(ProfileFiles, CharactersBeyondBmpRoundTripThroughStandardUtf8Files) {
  // U+1F600 in text and in an attribute value, U+10000 in element names. The second
  // document has a prefixed attribute, so Root takes the tree's way rather than the text's.
  const std::string pair = "\xED\xA0\xBD\xED\xB8\x80";  // U+1F600 as the exchange signs it
  const std::string docs[] = {
      "<R xmlns=\"urn:dez-ru:ed:v2.0\" "
      "a=\"x\U0001F600\"><E\U00010000>t\U0001F600\n</E\U00010000><P/></R>",
      "<R xmlns=\"urn:dez-ru:ed:v2.0\" xmlns:o=\"urn:o\" "
      "o:b=\"\U0001F600\"><E\U00010000>\U0001F600</E\U00010000></R>",
  };
  TCBRSigner signer(true);
  for (const std::string& doc : docs) {
    WriteFile(in, kHeader + doc);
    const std::string signedFile = dir.File("signed.xml"), env = dir.File("env.xml");
    const std::string verified = dir.File("verified.xml"), extracted = dir.File("extracted.xml");
    p.profile.SignFile(in, signedFile, Lumo::Base::saRoot);
    // A result file is standard UTF-8 and loads; the signed bytes keep the exchange's form.
    const std::string bytes = ReadFile(signedFile);
    EXPECT_EQ(Lumo::Base::InvalidUtf8Offset(bytes), std::string::npos) << doc;
    Lumo::Dom::Node first = Lumo::Dom::LoadXmlFile(signedFile);
    ASSERT_TRUE(first) << doc;
    const ByteString signed1 = SignatureBytes(first);
    EXPECT_EQ(signed1, NumberedOfFixed(W(doc)));
    EXPECT_NE(signed1.find(pair), std::string::npos);
    // Envelope, verify and extract (the signer's own file path too) give the same document.
    p.profile.SignFile(signedFile, env, Lumo::Base::saEnvelope);
    p.profile.SignFile(env, verified, Lumo::Base::saVerify);
    signer.SignFile("k", env, extracted, Lumo::Base::saExtract);
    EXPECT_EQ(ReadFile(verified), bytes) << doc;
    EXPECT_EQ(Lumo::Base::InvalidUtf8Offset(ReadFile(extracted)), std::string::npos) << doc;
    EXPECT_EQ(Lumo::Dom::LoadXmlFile(extracted).xml(), first.xml()) << doc;
    // Root again, on the unwrapped document and on the first result: the same signed bytes.
    p.profile.SignFile(extracted, out, Lumo::Base::saRoot);
    const ByteString again = SignatureBytes(Lumo::Dom::LoadXmlFile(out));
    p.profile.SignFile(signedFile, out, Lumo::Base::saRoot);
    EXPECT_EQ(again, SignatureBytes(Lumo::Dom::LoadXmlFile(out))) << doc;
    EXPECT_NE(again.find(pair), std::string::npos);
  }
}

TEST_F(ProfileFiles, CodeSixFromAFileGivesTheCanonicalCopy) {
  p.profile.SignFile(in, out, Lumo::Base::saBase64Envelope);
  EXPECT_EQ(ReadFile(out), kHeader + kExampleFixedXml);
}

TEST_F(ProfileFiles, FileInWindows1251IsReadByItsDeclaration) {
  WriteFile(in, "<?xml version=\"1.0\" encoding=\"windows-1251\"?><R>\xCF\xF0\xE8\xE2\xE5\xF2</R>");
  p.profile.SignFile(in, out, 0);
  EXPECT_EQ(ReadFile(out), kHeader + "<R>Привет</R>");
}

TEST_F(ProfileFiles, ExistingOutputIsReplaced) {
  WriteFile(out, std::string(100000, 'x'));
  p.profile.SignFile(in, out, 0);
  EXPECT_EQ(ReadFile(out), kHeader + kExampleFixedXml);
}

TEST_F(ProfileFiles, FailuresLeaveNoOutputAndAnExistingOneUntouched) {
  TProfile real(nullptr, "real");
  std::string env = dir.File("plain.xml");
  WriteFile(env, "<NotAnEnvelope/>");
  // Verify of a non-envelope: processing message with the input file name.
  EXPECT_EQ(MessageOf([&] { real.SignFile(env, out, Lumo::Base::saVerify); }),
            "Ошибка обработки XML файла " + env);
  EXPECT_FALSE(fs::exists(out));
  // Malformed input: XML error, nothing written.
  WriteFile(env, "<a><b></a>");
  EXPECT_THROW(p.profile.SignFile(env, out, Lumo::Base::saRoot), Lumo::Base::EXmlParserError);
  EXPECT_FALSE(fs::exists(out));
  // Missing input file.
  EXPECT_ANY_THROW(p.profile.SignFile(dir.File("missing.xml"), out, Lumo::Base::saRoot));
  EXPECT_FALSE(fs::exists(out));
  // An existing output stays as it was when the action fails.
  WriteFile(out, "previous");
  EXPECT_ANY_THROW(real.SignFile(env, out, Lumo::Base::saVerify));
  EXPECT_EQ(ReadFile(out), "previous");
  WriteFile(env, "<NotAnEnvelope/>");
  EXPECT_ANY_THROW(real.SignFile(env, out, Lumo::Base::saVerify));
  EXPECT_EQ(ReadFile(out), "previous");
  // Only the files the test made are in the folder: no temporary file is left behind.
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.xml", "out.xml", "plain.xml"}));
}

TEST_F(ProfileFiles, OutputInAMissingFolderIsACreationError) {
  std::string target = dir.File("no/such/folder/out.xml");
  EXPECT_EQ(MessageOf([&] { p.profile.SignFile(in, target, 0); }),
            "Cannot create file \"" + target + "\". No such file or directory");
}

TEST_F(ProfileFiles, EmptyInputFileFailsWithoutOutput) {
  WriteFile(in, "");
  EXPECT_ANY_THROW(p.profile.SignFile(in, out, 0));
  EXPECT_FALSE(fs::exists(out));
}

// --- Canonical text and SignData -------------------------------------------------------

TEST(ProfileCanonical, CanonicalTextIsTheCanonicalizers) {
  Lumo::Dom::Node a = Lumo::Dom::LoadXmlString(ExampleText());
  EXPECT_EQ(TProfile::CanonicalText(a, false), kExampleFixed);
  Lumo::Dom::Node b = Lumo::Dom::LoadXmlString(ExampleText());
  EXPECT_EQ(TProfile::CanonicalText(b, true), kExampleNumbered);
}

TEST(ProfileSignData, TestModeReturnsTheBytesThemselves) {
  TestProfile p;
  ByteString data("a\0b\xff", 4);
  EXPECT_EQ(p.profile.SignData(data), data);
  EXPECT_EQ(p.profile.SignData(""), "");
}

TEST(ProfileTestMode, OwnerTestModeIsReadAtEachUse) {
  TCBRSigner signer(true);
  TProfile p(&signer, "k");
  EXPECT_TRUE(p.TestMode);
  EXPECT_TRUE(p.IsTestMode());
  signer.TestMode = false;
  EXPECT_FALSE(p.IsTestMode());
  p.TestMode = true;  // the own flag does not count while there is an owner
  EXPECT_FALSE(p.IsTestMode());
  TProfile own(nullptr, "k");
  EXPECT_FALSE(own.IsTestMode());
  own.TestMode = true;
  EXPECT_TRUE(own.IsTestMode());
}

TEST(ProfileTestMode, OpenAndCloseChangeNothing) {
  TProfile p(nullptr, "k");
  p.TestMode = true;
  p.Open();
  p.Open();
  EXPECT_EQ(p.OpenCount, 0);
  EXPECT_EQ(p.Context, 0u);
  p.Close();
  EXPECT_EQ(p.OpenCount, 0);
}

TEST(ProfileClose, CloseWithoutOpenIsIgnored) {
  TProfile p(nullptr, "never-opened");
  p.Close();  // no provider needed: nothing is open, nothing is released
  p.Close();
  EXPECT_EQ(p.OpenCount, 0);
  EXPECT_EQ(p.Context, 0u);
}

TEST(ProfileFlags, FlagChoice) {
  TCBRSigner signer(false);
  TProfile owned(&signer, "k");
  TProfile own(nullptr, "k");
  for (uint8_t k : {0, 3, 255}) {
    owned.Keyload = k;
    own.Keyload = k;
    signer.Silent = true;
    EXPECT_EQ(owned.OpenFlags(), 0x841u);
    signer.Silent = false;
    EXPECT_EQ(owned.OpenFlags(), 0x41u);
    EXPECT_EQ(own.OpenFlags(), 0x841u);
  }
  for (bool silent : {false, true}) {
    signer.Silent = silent;
    owned.Keyload = Lumo::Base::klSilent;
    EXPECT_EQ(owned.OpenFlags(), 0x841u);
    owned.Keyload = Lumo::Base::klLoud;
    EXPECT_EQ(owned.OpenFlags(), 0x41u);
  }
  own.Keyload = Lumo::Base::klSilent;
  EXPECT_EQ(own.OpenFlags(), 0x841u);
  own.Keyload = Lumo::Base::klLoud;
  EXPECT_EQ(own.OpenFlags(), 0x41u);
}

// A caller that hands its text over gets the same result, and the text back empty: the
// input is let go once it is read, whatever the action takes it through.
TEST(ProfileTextEntry, AHandedOverInputIsLetGoAndTheResultIsTheSame) {
  const std::string document =
      "<p:R xmlns:p=\"urn:dez-ru:ed:v2.0\"><p:A n=\"1\">a</p:A>t<B/></p:R>";
  TProfile p(nullptr, "test");
  p.TestMode = true;
  auto sign = [&](std::string_view xml, uint8_t action, std::string* release) {
    std::string out;
    p.SignXmlUtf8(
        xml, action, [&out](std::string_view piece) { out += piece; }, release);
    return out;
  };
  const std::string envelope = sign(document, Lumo::Base::saEnvelope, nullptr);
  for (uint8_t action : {0, 1, 2, 3, 4, 5}) {
    const std::string input = action >= 4 ? envelope : document;
    std::string held = input;
    EXPECT_EQ(sign(held, action, &held), sign(input, action, nullptr)) << int(action);
    EXPECT_TRUE(held.empty()) << int(action);
  }
}
