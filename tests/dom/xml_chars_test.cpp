// The rules about names and characters, and encoding detection: every layer and the tool
// rely on them giving one answer, so their edges are pinned here.
#include <gtest/gtest.h>

#include <string>

#include "dom/dom.h"
#include "dom/encoding_detect.h"
#include "dom/xml_chars.h"

namespace {

using Lumo::Dom::DetectedEncoding;
using Lumo::Dom::DetectEncoding;

TEST(XmlChars, CharacterClassesAtTheirEdges) {
  struct Case {
    uint32_t c;
    bool xmlChar, nameStart, nameChar, space;
  };
  const Case cases[] = {
      {0x09, true, false, false, true},      {0x0B, false, false, false, false},
      {0x20, true, false, false, true},      {':', true, true, true, false},
      {'-', true, false, true, false},       {'7', true, false, true, false},
      {0xB7, true, false, true, false},      {0xD7, true, false, false, false},
      {0xD7FF, true, true, true, false},     {0xD800, false, false, false, false},
      {0xFFFD, true, true, true, false},     {0xFFFE, false, false, false, false},
      {0x10000, true, true, true, false},    {0xF0000, true, false, false, false},
      {0x10FFFF, true, false, false, false}, {0x110000, false, false, false, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.c);
    EXPECT_EQ(Lumo::Dom::IsXmlChar(k.c), k.xmlChar);
    EXPECT_EQ(Lumo::Dom::IsNameStartChar(k.c), k.nameStart);
    EXPECT_EQ(Lumo::Dom::IsNameChar(k.c), k.nameChar);
    EXPECT_EQ(Lumo::Dom::IsXmlSpace(k.c), k.space);
  }
}

TEST(XmlChars, NamesAndTexts) {
  using Lumo::Dom::IsNamespaceDeclaration;
  EXPECT_TRUE(IsNamespaceDeclaration(u"xmlns"));
  EXPECT_TRUE(IsNamespaceDeclaration(u"xmlns:p"));
  EXPECT_FALSE(IsNamespaceDeclaration(u"xmlnsx"));
  EXPECT_FALSE(IsNamespaceDeclaration(u"p:xmlns"));
  EXPECT_FALSE(IsNamespaceDeclaration(u"xml"));

  EXPECT_TRUE(Lumo::Dom::IsWhiteSpaceOnly(u""));
  EXPECT_TRUE(Lumo::Dom::IsWhiteSpaceOnly(u" \t\r\n"));
  EXPECT_FALSE(Lumo::Dom::IsWhiteSpaceOnly(u" \u00A0"));  // no-break space is text

  EXPECT_TRUE(Lumo::Dom::IsAscii(std::u16string_view(u"a\u007F")));
  EXPECT_FALSE(Lumo::Dom::IsAscii(std::u16string_view(u"a\u0080")));
  EXPECT_FALSE(Lumo::Dom::IsAscii(std::string_view("\xD0\x90")));

  for (const char16_t* ok : {u"a", u"p:a", u"_x.1", u"\u0410"})
    EXPECT_TRUE(Lumo::Dom::IsXmlQName(ok));
  for (const char16_t* bad : {u"", u":a", u"a:", u"a:b:c", u"1a", u"a b"})
    EXPECT_FALSE(Lumo::Dom::IsXmlQName(bad));
}

TEST(EncodingDetection, FindsWhatALoadReads) {
  struct Case {
    std::string bytes;
    DetectedEncoding::Kind kind;
    size_t bom;
    uint32_t codePage;
    bool declared;
  };
  using K = DetectedEncoding;
  const Case cases[] = {
      {"<a/>", K::kUtf8, 0, 65001, false},
      {"\xEF\xBB\xBF<a/>", K::kUtf8, 3, 65001, false},
      {std::string("\xFF\xFE<\0", 4), K::kUtf16LE, 2, 1200, false},
      {std::string("\xFE\xFF\0<", 4), K::kUtf16BE, 2, 1201, false},
      {std::string("<\0?\0", 4), K::kUtf16LE, 0, 1200, false},
      {std::string("\0<\0?", 4), K::kUtf16BE, 0, 1201, false},
      {"<?xml version='1.0' encoding = \"windows-1251\"?><a/>", K::kCodePage, 0, 1251, true},
      {"<?xml version='1.0' encoding='UTF-8'?><a/>", K::kUtf8, 0, 65001, true},
      {"<?xml version='1.0' encoding='UTF-16'?><a/>", K::kSwitch, 0, 1200, true},
      {"<?xml version='1.0' encoding='x-unknown'?><a/>", K::kUnsupported, 0, 0, true},
      {"<?xml version='1.0' encoding=windows-1251?><a/>", K::kUtf8, 0, 65001,
       false},                                                // no quotes: not read
      {"<a encoding='koi8-r'/>", K::kUtf8, 0, 65001, false},  // only a declaration names it
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.bytes);
    const DetectedEncoding d = DetectEncoding(k.bytes);
    EXPECT_EQ(d.kind, k.kind);
    EXPECT_EQ(d.bomLength, k.bom);
    EXPECT_EQ(d.codePage, k.codePage);
    EXPECT_EQ(d.declared, k.declared);
  }
  const std::string unknown = "<?xml version='1.0' encoding='x-unknown'?><a/>";
  const DetectedEncoding d = DetectEncoding(unknown);
  EXPECT_EQ(unknown.substr(d.namePos, d.nameEnd - d.namePos), "x-unknown");
}

// A load follows the detection: a declared code page decodes its bytes, an unknown one
// and a declaration of UTF-16 without UTF-16 bytes are refused with their own codes.
TEST(EncodingDetection, LoadsAgree) {
  Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
  ASSERT_TRUE(doc.loadBytes("<?xml version='1.0' encoding='windows-1251'?><a>\xC0</a>"));
  EXPECT_EQ(doc.documentElement().text(), u"\u0410");
  EXPECT_FALSE(doc.loadBytes("<?xml version='1.0' encoding='x-unknown'?><a/>"));
  EXPECT_EQ(static_cast<uint32_t>(doc.parseError().errorCode), 0xC00CE565u);
  EXPECT_EQ(doc.parseError().linepos, 31);  // at the name
  EXPECT_FALSE(doc.loadBytes("<?xml version='1.0' encoding='UTF-16'?><a/>"));
  EXPECT_EQ(static_cast<uint32_t>(doc.parseError().errorCode), 0xC00CE566u);
}

}  // namespace
