// TXmlCanonicalizer on its own: element form, attribute groups and order, the
// declaration drop rule, escaping, text and CDATA, errors.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/encoding.h"
#include "base/errors.h"
#include "canon/canonicalizer.h"
#include "dom/xml_helpers.h"

using Lumo::Canon::TXmlAttributeNames;
using Lumo::Canon::TXmlCanonicalizer;

namespace {

std::string Canon(std::u16string_view xml) {
  return Lumo::Base::Utf8FromWide(TXmlCanonicalizer::Canonicalize(xml));
}

}  // namespace

// --- Element form ------------------------------------------------------------------------

TEST(ElementForm, EmptyElementIsStartTagFollowedByEndTag) {
  EXPECT_EQ(Canon(u"<a/>"), "<a></a>");
  EXPECT_EQ(Canon(u"<p:a xmlns:p='urn:p'><p:b /></p:a>"),
            "<p:a xmlns:p=\"urn:p\"><p:b></p:b></p:a>");
}

TEST(ElementForm, ChildrenInDocumentOrderEachOnce) {
  EXPECT_EQ(Canon(u"<a>x<b>y</b>z<c/>w</a>"), "<a>x<b>y</b>z<c></c>w</a>");
}

TEST(ElementForm, NoDeclarationNothingOutsideTheDocumentElement) {
  EXPECT_EQ(Canon(u"<?xml version='1.0' encoding='UTF-8'?>\n<!--c-->\n<a/>\n<?pi?>\n"), "<a></a>");
}

TEST(ElementForm, CommentsAndPIsInsideAreWrittenByTheirNodeName) {
  // Only the normalizer removes them; the canonicalizer writes any other node kind as its
  // nodeName in tags.
  EXPECT_EQ(Canon(u"<a><!--c--></a>"), "<a><#comment></#comment></a>");
}

// --- Attribute groups and order ------------------------------------------------------------

TEST(AttributeOrder, DeclarationsFirstThenAttributesEachByCodeUnit) {
  EXPECT_EQ(Canon(u"<a b='1' B='2' xmlns:z='u' ab='3' a='4' Z='5' xmlns='d'/>"),
            "<a xmlns=\"d\" xmlns:z=\"u\" B=\"2\" Z=\"5\" a=\"4\" ab=\"3\" b=\"1\"></a>");
}

TEST(AttributeOrder, ColonSortsAfterDigitsAndBeforeLetters) {
  EXPECT_EQ(Canon(u"<a pa='1' p:x='2' pA='3' p1='4'/>"),
            "<a p1=\"4\" p:x=\"2\" pA=\"3\" pa=\"1\"></a>");
}

TEST(AttributeOrder, NamesBeginningWithXmlnsInAnyCaseJoinTheDeclarations) {
  EXPECT_EQ(Canon(u"<a A='1' xmlnsA='2' XMLNSb='3' xmlns:p='urn:p'/>"),
            "<a XMLNSb=\"3\" xmlns:p=\"urn:p\" xmlnsA=\"2\" A=\"1\"></a>");
}

TEST(AttributeOrder, NonAsciiNamesOrderByCodeUnit) {
  EXPECT_EQ(Canon(u"<a \u044F='1' \u0430='2' z='3'/>"),
            "<a z=\"3\" \xD0\xB0=\"2\" \xD1\x8F=\"1\"></a>");
}

TEST(AttributeNames, CompareStringsIsOrdinalOnTheNamePart) {
  TXmlAttributeNames list;
  EXPECT_EQ(list.CompareStrings(u"a=\"2\"", u"a=\"1\""), 0);
  EXPECT_EQ(list.CompareStrings(u"A=\"1\"", u"a=\"1\""), -1);
  EXPECT_EQ(list.CompareStrings(u"ab=\"1\"", u"a=\"1\""), 1);
  EXPECT_EQ(list.CompareStrings(u"a", u"a=\"\""), 0);                 // no '=': the whole entry
  EXPECT_EQ(list.CompareStrings(u"\uFFFF=\"\"", u"\u0100=\"\""), 1);  // unsigned units
  EXPECT_EQ(TXmlAttributeNames::AttributeNameOf(u"p:x=\"a=b\""), "p:x");
  EXPECT_EQ(TXmlAttributeNames::AttributeNameOf(u"\u0436=\"\""), "\xD0\xB6");
}

TEST(AttributeNames, AnEqualNameIsNotAddedTwice) {
  TXmlAttributeNames list;
  list.Add(u"b=\"1\"");
  list.Add(u"a=\"1\"");
  list.Add(u"b=\"2\"");
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Get(0), u"a=\"1\"");
  EXPECT_EQ(list.Get(1), u"b=\"1\"");
}

TEST(AttributeNames, NamesEqualAfterTheAnsiConversionCountAsOne) {
  // Two wide names that the ANSI conversion maps to the same text (here two different
  // lone surrogates, which no code page can hold) compare equal.
  std::u16string a = u"x";
  a += char16_t(0xD800);
  std::u16string b = u"x";
  b += char16_t(0xD801);
  if (Lumo::Base::WideToAnsi(a) != Lumo::Base::WideToAnsi(b))
    GTEST_SKIP() << "conversion keeps them apart";
  TXmlAttributeNames list;
  list.Add(a + u"=\"1\"");
  list.Add(b + u"=\"2\"");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Get(0), a + u"=\"1\"");
}

// --- The declaration drop rule --------------------------------------------------------------

TEST(DeclarationDrop, SameNameAndValueOnTheDirectParentIsDropped) {
  EXPECT_EQ(Canon(u"<a xmlns:p='urn:p'><b xmlns:p='urn:p'/></a>"),
            "<a xmlns:p=\"urn:p\"><b></b></a>");
}

TEST(DeclarationDrop, OnlyTheDirectParentCounts) {
  EXPECT_EQ(Canon(u"<a xmlns:p='urn:p'><b><c xmlns:p='urn:p'/></b></a>"),
            "<a xmlns:p=\"urn:p\"><b><c xmlns:p=\"urn:p\"></c></b></a>");
}

TEST(DeclarationDrop, DifferentValueOrNameIsKept) {
  EXPECT_EQ(Canon(u"<a xmlns:p='urn:p'><b xmlns:p='urn:P'><c xmlns:q='urn:P'/></b></a>"),
            "<a xmlns:p=\"urn:p\"><b xmlns:p=\"urn:P\"><c xmlns:q=\"urn:P\"></c></b></a>");
}

TEST(DeclarationDrop, DefaultUndeclarationDroppedBelowAnElementWrittenOnTheRoot) {
  EXPECT_EQ(Canon(u"<a xmlns='urn:d'><b xmlns=''><c xmlns='urn:d'/></b></a>"),
            "<a xmlns=\"urn:d\"><b><c xmlns=\"urn:d\"></c></b></a>");
  EXPECT_EQ(Canon(u"<a xmlns=''/>"), "<a xmlns=\"\"></a>");
}

TEST(DeclarationDrop, DefaultDeclarationSameAsParentIsDropped) {
  EXPECT_EQ(Canon(u"<a xmlns='urn:d' x='1'><b xmlns='urn:d' y='2'/></a>"),
            "<a xmlns=\"urn:d\" x=\"1\"><b y=\"2\"></b></a>");
}

TEST(DeclarationDrop, RuleLooksAtTheNameNotTheParserMeaning) {
  // "xmlnsX" begins with exactly "xmlns": empty below an element it is dropped, equal
  // to the parent's attribute of that name it is dropped; "XMLNSx" never is.
  EXPECT_EQ(Canon(u"<a xmlnsX='1' XMLNSy='2'><b xmlnsX='1' xmlnsZ='' XMLNSy='2'/></a>"),
            "<a XMLNSy=\"2\" xmlnsX=\"1\"><b XMLNSy=\"2\"></b></a>");
}

// --- Escaping ------------------------------------------------------------------------------

TEST(AttributeEscaping, QuoteAndLineEndsAndTab) {
  EXPECT_EQ(Canon(u"<a q='x\"y' t='a&#9;b' crlf='a&#13;&#10;b' cr='a&#13;b' lf='a&#10;b' "
                  u"crcrlf='&#13;&#13;&#10;' lit='a\tb\nc'/>"),
            "<a cr=\"a b\" crcrlf=\"  \" crlf=\"a b\" lf=\"a b\" lit=\"a b c\" q=\"x&quot;y\" "
            "t=\"a b\"></a>");
}

TEST(AttributeEscaping, AmpersandLessThanGreaterThanApostropheLeftAlone) {
  std::u16string canon = TXmlCanonicalizer::Canonicalize(u"<a v='x&amp;y&lt;z&gt;&apos;'/>");
  EXPECT_EQ(canon, u"<a v=\"x&y<z>'\"></a>");
  // The canonical text is then no longer well-formed.
  EXPECT_THROW(Lumo::Dom::LoadXmlString(canon), Lumo::Base::EXmlParserError);
}

TEST(AttributeEscaping, EscapeAttributeValueStepByStep) {
  EXPECT_EQ(TXmlCanonicalizer::EscapeAttributeValue(u"\"\"\t\r\n\r\n\r&<"), u"&quot;&quot;    &<");
  EXPECT_EQ(TXmlCanonicalizer::EscapeAttributeValue(u""), u"");
}

TEST(TextEscaping, EscapeTextFoldsLineEnds) {
  EXPECT_EQ(TXmlCanonicalizer::EscapeText(u"a\r\nb\rc\nd\r\r\ne\n\r"), u"a\nb\nc\nd\n\ne\n\n");
  EXPECT_EQ(TXmlCanonicalizer::EscapeText(u"&amp;<"), u"&amp;<");
}

TEST(TextEscaping, OnePassFormsAgreeWithTheReplacementChains) {
  std::mt19937 rng(7);
  const char16_t alphabet[] = {u'a', u'"', u'\t', u'\r', u'\n', u'&', u'<', u' ', 0x0436};
  for (int round = 0; round < 5000; ++round) {
    std::u16string s;
    int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) s += alphabet[rng() % std::size(alphabet)];
    std::u16string attr;
    TXmlCanonicalizer::AppendEscapedAttributeValue(s, attr);
    ASSERT_EQ(attr, TXmlCanonicalizer::EscapeAttributeValue(s));
    std::u16string room(6 * s.size(), u'\0');
    char16_t* end = TXmlCanonicalizer::WriteEscapedAttributeValue(s, room.data());
    ASSERT_EQ(std::u16string(room.data(), end), attr);
    std::u16string text = u"prefix\r" + s;
    TXmlCanonicalizer::FoldLineEndsFrom(text, 7);
    ASSERT_EQ(text, u"prefix\r" + TXmlCanonicalizer::EscapeText(s));
  }
}

TEST(AttributeOrder, RepeatedNamesKeepTheirOrderAndDropsAreDecidedPerElement) {
  // Elements with the same names one after the other, with different declarations to drop,
  // and the same names in another order.
  EXPECT_EQ(
      Canon(u"<r xmlns:a=\"u\"><e xmlns:a=\"u\" z=\"1\" b=\"2\"/><e xmlns:a=\"v\" z=\"1\" b=\"2\"/>"
            u"<e b=\"3\" xmlns:a=\"u\" z=\"4\"/><e xmlns:a=\"u\" z=\"1\" b=\"2\"/></r>"),
      "<r xmlns:a=\"u\"><e b=\"2\" z=\"1\"></e><e xmlns:a=\"v\" b=\"2\" z=\"1\"></e>"
      "<e b=\"3\" z=\"4\"></e><e b=\"2\" z=\"1\"></e></r>");
  // More kinds of elements than orders are kept, coming back in turn.
  std::u16string doc = u"<r>";
  std::string expected = "<r>";
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 20; ++k) {
      std::string n = std::to_string(k);
      std::u16string w(n.begin(), n.end());
      doc += u"<e" + w + u" z" + w + u"=\"1\" b" + w + u"=\"2\" m=\"3\"/>";
      expected += "<e" + n + " b" + n + "=\"2\" m=\"3\" z" + n + "=\"1\"></e" + n + ">";
    }
  }
  EXPECT_EQ(Canon(doc + u"</r>"), expected + "</r>");
  // Formatting elements of different documents one after the other.
  TXmlCanonicalizer canonicalizer;
  for (int i = 0; i < 3; ++i) {
    Lumo::Dom::Node first = Lumo::Dom::LoadXmlString(u"<e z=\"1\" b=\"2\"/>");
    EXPECT_EQ(canonicalizer.FormatAttributes(first), u" b=\"2\" z=\"1\"");
    Lumo::Dom::Node second = Lumo::Dom::LoadXmlString(u"<e y=\"1\" c=\"2\"/>");
    EXPECT_EQ(canonicalizer.FormatAttributes(second), u" c=\"2\" y=\"1\"");
  }
}

TEST(AttributeEscaping, LongValuesAreWrittenTheSameWay) {
  // Entries too long to be written in one opened room take the appending form.
  std::u16string value;
  for (int i = 0; i < 3000; ++i) value += u"a\"\t";
  value.insert(511, u"\r\n");  // a CR LF pair across the appending form's pieces
  value.insert(1500, u"\r");
  TXmlCanonicalizer canonicalizer;
  Lumo::Dom::Document d = Lumo::Dom::Document::Create();
  Lumo::Dom::Node e = d.createElement(u"e");
  e.setAttribute(u"z", u"1");
  e.setAttribute(u"b", value);
  e.setAttribute(u"xmlns:p", u"u");
  EXPECT_EQ(
      canonicalizer.FormatAttributes(e),
      u" xmlns:p=\"u\" b=\"" + TXmlCanonicalizer::EscapeAttributeValue(value) + u"\" z=\"1\"");
}

TEST(TextEscaping, TextNodesAreTheirFoldedXml) {
  // The canonical text of a text node or CDATA section is its xml with line ends folded,
  // for any value a tree can hold (character references put CR anywhere).
  std::mt19937 rng(11);
  const char16_t alphabet[] = {u'a', u'&', u'<', u'>', u'\r', u'\n', u'"', u'\t', 0x0436, u']'};
  for (int round = 0; round < 3000; ++round) {
    std::u16string value;
    int n = static_cast<int>(rng() % 10);
    for (int i = 0; i < n; ++i) value += alphabet[rng() % std::size(alphabet)];
    Lumo::Dom::Document d = Lumo::Dom::Document::Create();
    Lumo::Dom::Node e = d.createElement(u"e");
    e.setText(value);
    TXmlCanonicalizer canonicalizer;
    std::u16string expected = u"<e>";
    if (Lumo::Dom::Node text = e.firstChild())
      expected += TXmlCanonicalizer::EscapeText(text.xml());
    expected += u"</e>";
    ASSERT_EQ(canonicalizer.CanonicalizeNode(e), expected) << round;
    // The same value in a CDATA section (the parser folds its line ends on the way in).
    std::u16string cdata;
    for (char16_t c : value) cdata += c == u']' ? u'x' : c;
    Lumo::Dom::Node parsed = Lumo::Dom::LoadXmlString(u"<e><![CDATA[" + cdata + u"]]></e>");
    std::u16string expectedCData = u"<e>";
    if (Lumo::Dom::Node section = parsed.firstChild())
      expectedCData += TXmlCanonicalizer::EscapeText(section.xml());
    expectedCData += u"</e>";
    ASSERT_EQ(canonicalizer.CanonicalizeNode(parsed), expectedCData) << round;
  }
}

TEST(TextEscaping, TextKeepsTheSerialisersEscapingAndFoldsLineEnds) {
  EXPECT_EQ(Canon(u"<a>x &amp; &lt;y&gt; \"'\r\nz&#13;w&#13;&#10;v</a>"),
            "<a>x &amp; &lt;y&gt; \"'\nz\nw\n\nv</a>");
}

TEST(TextEscaping, CDataIsKeptWithItsMarkupAndLineEndsFolded) {
  EXPECT_EQ(Canon(u"<a>t<![CDATA[x<y&z]]>u<![CDATA[1\r\n2\r3]]></a>"),
            "<a>t<![CDATA[x<y&z]]>u<![CDATA[1\n2\n3]]></a>");
}

TEST(TextEscaping, NonAsciiTextIsLiteral) {
  EXPECT_EQ(Canon(u"<a b='\u0416'>\u041E\u041E\u041E &#x1D11E;</a>"),
            "<a b=\"\xD0\x96\">\xD0\x9E\xD0\x9E\xD0\x9E \xF0\x9D\x84\x9E</a>");
}

// --- Undeclared attribute prefixes ----------------------------------------------------------

TEST(ElementForm, AttributeWithAnUndeclaredPrefixIsAccepted) {
  EXPECT_EQ(Canon(u"<n1:a xmlns:n1='urn:x' xsi:type='T'/>"),
            "<n1:a xmlns:n1=\"urn:x\" xsi:type=\"T\"></n1:a>");
}

// --- Errors --------------------------------------------------------------------------------

TEST(CanonicalizeErrors, TextThatDoesNotParseRaisesTheParserError) {
  for (std::u16string_view bad : {u"", u"<a>", u"<a></b>", u"text", u"<a x='1' x='2'/>"}) {
    try {
      TXmlCanonicalizer::Canonicalize(bad);
      ADD_FAILURE() << "no error for " << Lumo::Base::Utf8FromWide(bad);
    } catch (const Lumo::Base::EXmlParserError& e) {
      EXPECT_NE(e.ErrorCode, 0);
      EXPECT_NE(std::string(e.what()).find("\r\nPosition: "), std::string::npos) << e.what();
    }
  }
}

TEST(FormatAttributes, NotAnElementGivesNothing) {
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(u"<a b='1'>t</a>");
  TXmlCanonicalizer canonicalizer;
  EXPECT_EQ(canonicalizer.FormatAttributes(root.firstChild()), u"");
  EXPECT_EQ(canonicalizer.FormatAttributes(root), u" b=\"1\"");
  EXPECT_EQ(canonicalizer.CanonicalizeNode(root.firstChild()), u"t");
}

TEST(ElementForm, DeepNestingDoesNotExhaustTheStack) {
  const int depth = 5000;
  std::u16string text;
  for (int i = 0; i < depth; ++i) text += u"<e a='1'>";
  for (int i = 0; i < depth; ++i) text += u"</e>";
  std::u16string canon = TXmlCanonicalizer::Canonicalize(text);
  EXPECT_EQ(canon.size(), static_cast<size_t>(depth) * (9 + 4));
}

// --- Shortcuts checked against the literal rules ----------------------------------------

TEST(AttributeNames, FastComparisonAgreesWithTheConvertedNames) {
  std::mt19937 rng(11);
  const char16_t alphabet[] = {u'a', u'A', u'b', u':', u'1', u'=', 0x0436, 0x00E9, 0xFFFF};
  TXmlAttributeNames list;
  auto literal = [](std::u16string_view a, std::u16string_view b) {
    std::u16string wa = Lumo::Base::AnsiToWide(TXmlAttributeNames::AttributeNameOf(a));
    std::u16string wb = Lumo::Base::AnsiToWide(TXmlAttributeNames::AttributeNameOf(b));
    int r = wa.compare(wb);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  };
  for (int round = 0; round < 20000; ++round) {
    std::u16string a, b;
    int n = static_cast<int>(rng() % 6), m = static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) a += alphabet[rng() % std::size(alphabet)];
    for (int i = 0; i < m; ++i) b += alphabet[rng() % std::size(alphabet)];
    ASSERT_EQ(list.CompareStrings(a, b), literal(a, b))
        << Lumo::Base::Utf8FromWide(a) << " vs " << Lumo::Base::Utf8FromWide(b);
  }
}

TEST(CanonicalizeUtf8, ChunkedEncodingGivesTheBytesOfTheWholeText) {
  // Long enough for many chunks; characters beyond U+FFFF fall on every chunk boundary
  // sooner or later.
  std::u16string text = u"<r xmlns:p='urn:p'>";
  for (int i = 0; i < 4000; ++i) {
    text += u"<p:e a='\U0001D11E' b='x\"y'>\U0001D11E\u0416";
    text += std::u16string(static_cast<size_t>(i % 7), u'z');
    text += u"\r\n</p:e>";
  }
  text += u"</r>";
  Lumo::Base::ByteString chunked = "prefix";
  TXmlCanonicalizer::CanonicalizeUtf8Append(text, chunked);
  EXPECT_EQ(chunked, "prefix" + Lumo::Base::Utf8Encode(TXmlCanonicalizer::Canonicalize(text)));
  EXPECT_GT(chunked.size(), 100000u);
}
