// Loading helpers, element search and the parser error's message.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "base/encoding.h"
#include "dom/xml_helpers.h"

using namespace Lumo;
using namespace Lumo::Base;
using namespace Lumo::Dom;

namespace {

const char16_t* kEnvelope =
    u"<sen:SigEnvelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\" xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">"
    u"<!--c-->text<sen:SigContainer><dsig:MACValue>S</dsig:MACValue></sen:SigContainer>"
    u"<sen:Object>D</sen:Object><Object>plain</Object></sen:SigEnvelope>";

TEST(XmlHelpers, LoadStringReturnsRootKeepingDocument) {
  Dom::Node root = LoadXmlString(u"<r><a/></r>");
  ASSERT_TRUE(root);
  EXPECT_EQ(root.nodeName(), u"r");
  EXPECT_EQ(root.ownerDocument().documentElement(), root);
}

TEST(XmlHelpers, ParserErrorMessage) {
  try {
    LoadXmlString(u"<r>\n<a></b></r>");
    FAIL();
  } catch (const EXmlParserError& e) {
    EXPECT_EQ(e.Message(),
              "End tag 'b' does not match the start tag 'a'.\r\nPosition: 2:4\r\n<a></b></r>");
    EXPECT_EQ(e.ErrorCode, static_cast<int32_t>(0xC00CE56D));
  }
  try {
    LoadXmlString(u"");
    FAIL();
  } catch (const EXmlParserError& e) {
    EXPECT_EQ(e.Message().rfind("XML document must have a top level element.\r\nPosition: ", 0),
              0u);
  }
  EXPECT_EQ(MakeXmlParserError(nullptr).Message(), "Unknown XML error");
  EXPECT_EQ(MakeXmlParserError(nullptr).ErrorCode, 0);
}

// LoadXmlUtf8 must give what LoadXmlString(Utf8Decode(bytes)) gives: the same tree, or
// the same error.
Dom::Node LoadText(std::string_view text) { return LoadXmlText(text); }

std::string Outcome(Dom::Node (*load)(std::string_view), std::string_view bytes) {
  try {
    Dom::Node root = load(bytes);
    return root ? "xml:" + Utf8FromWide(root.xml()) : "null";
  } catch (const ELumoException& e) {
    const auto* xml = dynamic_cast<const EXmlParserError*>(&e);
    return "error " + std::to_string(xml ? xml->ErrorCode : 0) + ":" + e.Message();
  }
}

Dom::Node ThroughWideText(std::string_view bytes) { return LoadXmlString(Utf8Decode(bytes)); }
Dom::Node ThroughStandardWide(std::string_view text) { return LoadXmlString(WideFromUtf8(text)); }

// Texts that start with a declaration, a mark or odd bytes, which the byte loader would
// otherwise weigh before it reads the text.
const std::string kDeclaredTexts[] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r a='\xD0\x96'>\xD1\x82</r>",
    "<?xml version=\"1.0\" encoding=\"UTF-16\"?><r/>",
    "<?xml version=\"1.0\" encoding=\"koi8-r\" standalone=\"yes\"?><r>\xD0\x96</r>",
    "<?xml version=\"1.0\" encoding=\"x-unknown\"?><r/>",
    "<?xml version=\"1.0\" encoding=\"1bad\"?><r/>",
    "<?xml version=\"2\"?><r/>",
    "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<r>\xD0\x96<a></b></r>",
    "\xEF\xBB\xBF<?xml version=\"1.0\"?><r/>",
    std::string("<\0?\0<r/>", 8),
    std::string("<r>\0</r>", 8),
    "<r/",
};

TEST(XmlHelpers, LoadUtf8ReadsAsTheDecodedText) {
  const std::string cases[] = {
      "<r a=\"\xD0\x96\">\xD1\x82\xD0\xB5\xD0\xBA\xD1\x81\xD1\x82 &amp; more</r>",
      // A character beyond U+FFFF as the exchange writes it: two three-byte sequences.
      "<r>\xED\xA0\xBD\xED\xB8\x80</r>",
      // A declaration naming another encoding: the decoded text ignores it.
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>\xD0\x96</r>",
      "\xEF\xBB\xBF<r/>",
      // Not UTF-8 at all: the decoded text is empty.
      "<r>\xFF</r>",
      // Parse errors keep their positions in characters.
      "<r>\xD0\x96\xD0\x96<a b=\"<\"/></r>",
      "<r>\n\xD0\x96</x>",
      "",
      "<r/><q/>",
  };
  for (const std::string& bytes : cases) {
    EXPECT_EQ(Outcome(&LoadXmlUtf8, bytes), Outcome(&ThroughWideText, bytes)) << bytes;
  }
  for (const std::string& bytes : kDeclaredTexts)
    EXPECT_EQ(Outcome(&LoadXmlUtf8, bytes), Outcome(&ThroughWideText, bytes)) << bytes;
  EXPECT_EQ(Outcome(&LoadXmlUtf8, cases[1]), "xml:<r>\xF0\x9F\x98\x80</r>");
}

TEST(XmlHelpers, LoadTextReadsAsTheStandardDecodedText) {
  const std::string cases[] = {
      // Four-byte sequences: characters beyond U+FFFF, also where an error is placed.
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r a=\"\xF0\x9F\x98\x80\">x</r>",
      "<r>\xF0\x9F\x98\x80\xF0\x9F\x98\x80<a></b></r>",
      "<\xF0\x9F\x98\x80/>",
      "<r>&#x1F600;\xD0\x96</r>",
  };
  for (const std::string& text : cases)
    EXPECT_EQ(Outcome(&LoadText, text), Outcome(&ThroughStandardWide, text)) << text;
  for (const std::string& text : kDeclaredTexts)
    EXPECT_EQ(Outcome(&LoadText, text), Outcome(&ThroughStandardWide, text)) << text;
}

TEST(XmlHelpers, LoadFileAndMissingFile) {
  std::string path = ::testing::TempDir() + "lumo_helpers_test.xml";
  {
    std::ofstream f(path, std::ios::binary);
    f << "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>\xC0</r>";
  }
  Dom::Node root = LoadXmlFile(path);
  ASSERT_TRUE(root);
  EXPECT_EQ(root.text(), u"\u0410");
  std::remove(path.c_str());
  try {
    LoadXmlFile(path);
    FAIL();
  } catch (const EXmlParserError& e) {
    EXPECT_NE(e.Message().find("cannot be opened"), std::string::npos);
    EXPECT_NE(e.ErrorCode, 0);
  }
}

TEST(XmlHelpers, LoadStreamFromCurrentPosition) {
  TMemoryStream s;
  std::string a = "<a/>";
  s.Write(a.data(), a.size());
  std::string b = "<b/>";
  s.Write(b.data(), b.size());
  s.SetPosition(4);
  EXPECT_EQ(LoadXmlStream(s).nodeName(), u"b");
  s.SetPosition(0);
  EXPECT_THROW(LoadXmlStream(s), EXmlParserError);  // two roots
  s.SetPosition(2);
  EXPECT_THROW(LoadXmlStream(s), EXmlParserError);
}

TEST(XmlHelpers, FindChildElement) {
  Dom::Node root = LoadXmlString(kEnvelope);
  EXPECT_EQ(FindChildElement(root, "").nodeName(), u"sen:SigContainer");
  EXPECT_EQ(FindChildElement(root, "Object").nodeName(), u"sen:Object");
  EXPECT_EQ(FindChildElement(root, "sen:Object").nodeName(), u"sen:Object");
  EXPECT_FALSE(FindChildElement(root, "object"));
  EXPECT_FALSE(FindChildElement(Dom::Node(), "x"));
}

TEST(XmlHelpers, FindNextElement) {
  Dom::Node root = LoadXmlString(kEnvelope);
  Dom::Node c = FindChildElement(root, "");
  EXPECT_EQ(FindNextElement(c, "").nodeName(), u"sen:Object");
  EXPECT_EQ(FindNextElement(c, "Object").nodeName(), u"sen:Object");
  EXPECT_FALSE(FindNextElement(c, "sen:Object"));
  Dom::Node o = FindNextElement(c, "");
  EXPECT_EQ(FindNextElement(o, "").nodeName(), u"Object");
  EXPECT_FALSE(FindNextElement(FindNextElement(o, ""), ""));
}

TEST(XmlHelpers, SelectElementPaths) {
  Dom::Node root = LoadXmlString(kEnvelope);
  Dom::Node mac = SelectElement(root, "SigContainer\\MACValue");
  ASSERT_TRUE(mac);
  EXPECT_EQ(mac.text(), u"S");
  EXPECT_EQ(SelectElement(root, "\\SigContainer\\MACValue\\"), mac);
  EXPECT_EQ(SelectElement(root, " \t\\SigContainer\\MACValue"), mac);
  EXPECT_FALSE(SelectElement(root, "SigContainer\\Nothing"));
  EXPECT_EQ(SelectElement(root, " Object").nodeName(), u"sen:Object");
  EXPECT_FALSE(SelectElement(root, "Object "));
  EXPECT_EQ(SelectElement(root, "").nodeName(), u"sen:SigContainer");
  EXPECT_EQ(SelectElement(root, "SigContainer\\\\").nodeName(), u"dsig:MACValue");
  EXPECT_FALSE(SelectElement(Dom::Node(), "Object"));
}

}  // namespace
