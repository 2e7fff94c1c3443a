// TXmlNormalizer: the first pass (CleanTree) and the second (AssignPrefixes),
// checked on the rewritten tree's own serialisation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/errors.h"
#include "canon/normalizer.h"
#include "dom/xml_helpers.h"

using Lumo::Canon::TNamespaceList;
using Lumo::Canon::TXmlNormalizer;
using Lumo::Dom::LoadXmlString;
using Lumo::Dom::Node;

namespace {

std::string Xml(const Node& node) { return Lumo::Base::Utf8FromWide(node.xml()); }

// Normalizes the document element of the text and returns the new element's xml.
std::string Normalized(std::u16string_view text, bool numbered) {
  Node root = LoadXmlString(text);
  Node result = TXmlNormalizer::Normalize(root, numbered);
  EXPECT_EQ(result, result.ownerDocument().documentElement());
  return Xml(result);
}

std::string Cleaned(std::u16string_view text) {
  Node root = LoadXmlString(text);
  TXmlNormalizer::CleanTree(root);
  return Xml(root);
}

}  // namespace

// --- Schema-instance attributes ----------------------------------------------------------

TEST(SchemaInstanceAttributes, TheFourLocalNamesAreRemoved) {
  EXPECT_EQ(Cleaned(u"<a xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                    u"xsi:schemaLocation='u a.xsd' b='1' xsi:noNamespaceSchemaLocation='a.xsd' "
                    u"xsi:temp='t' xsi:nil='true' c='2'/>"),
            "<a xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" b=\"1\" c=\"2\"/>");
}

TEST(SchemaInstanceAttributes, AdjacentRemovalsDoNotSkipAnAttribute) {
  // The index stays after a removal, so the attribute that moves into its place is
  // examined too.
  EXPECT_EQ(Cleaned(u"<a xmlns:i='http://www.w3.org/2001/XMLSchema-instance' "
                    u"i:nil='1' i:temp='2' i:schemaLocation='3'/>"),
            "<a xmlns:i=\"http://www.w3.org/2001/XMLSchema-instance\"/>");
}

TEST(SchemaInstanceAttributes, OtherNamesNamespacesAndCaseStay) {
  EXPECT_EQ(Cleaned(u"<a xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                    u"xmlns:o='http://www.w3.org/2001/XMLSchema-Instance' "
                    u"xsi:type='T' schemaLocation='s' xsi:SchemaLocation='S' xsi:NIL='n' "
                    u"o:nil='o'/>"),
            "<a xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:o=\"http://www.w3.org/2001/XMLSchema-Instance\" xsi:type=\"T\" "
            "schemaLocation=\"s\" xsi:SchemaLocation=\"S\" xsi:NIL=\"n\" o:nil=\"o\"/>");
}

TEST(SchemaInstanceAttributes, RemovedOnEveryElementOfTheSubtree) {
  EXPECT_EQ(Cleaned(u"<a xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>"
                    u"<b xsi:nil='true'><c xsi:schemaLocation='x' d='1'/></b></a>"),
            "<a xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><b><c d=\"1\"/></b></a>");
}

TEST(SchemaInstanceAttributes, KeptTypeAttributeIsDeclaredUnderANumberedPrefix) {
  EXPECT_EQ(Normalized(u"<ED xmlns='urn:dez-ru:ed:v2.0' "
                       u"xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                       u"xsi:nil='true' xsi:type='T'/>",
                       false),
            "<ed:ED xmlns:n1=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:ed=\"urn:dez-ru:ed:v2.0\" xsi:type=\"T\"/>");
}

// --- Comments, processing instructions, white space ---------------------------------------

TEST(CleanTree, CommentsAndProcessingInstructionsAreRemovedEverywhere) {
  EXPECT_EQ(Cleaned(u"<a><!--x--><b><?pi data?><c/><!--y--></b><?other?></a>"),
            "<a><b><c/></b></a>");
}

TEST(CleanTree, ProcessingInstructionNamedXmlInAnyCaseStays) {
  // Only the name "xml" (any case) is kept; such a PI can stand only at document level,
  // where the declaration is. Built by hand here: the parser rejects the name elsewhere.
  Node root = LoadXmlString(u"<?xml version='1.0'?><!--c--><a><?xml-stylesheet x?></a>");
  Lumo::Dom::Document document = root.ownerDocument();
  TXmlNormalizer::CleanTree(document);
  std::string xml = Xml(root);
  EXPECT_EQ(xml, "<a/>");
  // The comment at document level is gone; a declaration node, where the tree keeps
  // one, stays.
  for (Node n = document.firstChild(); n; n = n.nextSibling()) {
    EXPECT_NE(n.nodeType(), Lumo::Dom::NODE_COMMENT);
    if (n.nodeType() == Lumo::Dom::NODE_PROCESSING_INSTRUCTION) {
      EXPECT_EQ(n.nodeName(), u"xml");
    }
  }
}

TEST(CleanTree, WhiteSpaceOnlyTextIsRemovedOtherTextStaysWhole) {
  Node root = LoadXmlString(u"<a><b/></a>");
  Lumo::Dom::Document document = root.ownerDocument();
  Node b = root.firstChild();
  root.insertBefore(document.createTextNode(u" \t\r\n "), b);
  root.appendChild(document.createTextNode(u"  x \n"));
  root.appendChild(document.createTextNode(u"\u00A0\u00A0"));  // no-break spaces
  root.appendChild(document.createTextNode(u"\n"));
  TXmlNormalizer::CleanTree(root);
  ASSERT_EQ(root.childNodes().length(), 3);
  EXPECT_EQ(root.childNodes().item(0).nodeName(), u"b");
  EXPECT_EQ(root.childNodes().item(1).nodeValue(), u"  x \n");
  EXPECT_EQ(root.childNodes().item(2).nodeValue(), u"\u00A0\u00A0");
}

TEST(CleanTree, WhiteSpaceKeptByXmlSpacePreserveIsRemoved) {
  Node root = LoadXmlString(u"<a xml:space='preserve'> <b>\t</b>\r\n<c>x </c></a>");
  TXmlNormalizer::CleanTree(root);
  EXPECT_EQ(Xml(root), "<a xml:space=\"preserve\"><b/><c>x </c></a>");
}

TEST(CleanTree, CDataSectionsStay) {
  EXPECT_EQ(Cleaned(u"<a><![CDATA[ ]]><![CDATA[x]]></a>"), "<a><![CDATA[ ]]><![CDATA[x]]></a>");
}

TEST(CleanTree, TrimXmlWhitespaceTrimsOnlyTheFourCharacters) {
  EXPECT_EQ(TXmlNormalizer::TrimXmlWhitespace(u" \t\r\n"), u"");
  EXPECT_EQ(TXmlNormalizer::TrimXmlWhitespace(u"\t a b \n"), u"a b");
  EXPECT_EQ(TXmlNormalizer::TrimXmlWhitespace(u"\u00A0x\u00A0"), u"\u00A0x\u00A0");
  EXPECT_EQ(TXmlNormalizer::TrimXmlWhitespace(u"\v\f"), u"\v\f");
  EXPECT_EQ(TXmlNormalizer::TrimXmlWhitespace(u""), u"");
}

TEST(CleanTree, TextSeparatedByACommentIsMergedByTheSecondPass) {
  Node root = LoadXmlString(u"<a>one<!--c--> two<?p?>three</a>");
  Node result = TXmlNormalizer::Normalize(root, false);
  ASSERT_EQ(result.childNodes().length(), 1);
  EXPECT_EQ(result.firstChild().nodeType(), Lumo::Dom::NODE_TEXT);
  EXPECT_EQ(result.firstChild().nodeValue(), u"one twothree");
}

// --- Prefix schemes ----------------------------------------------------------------------

TEST(FixedPrefixes, ExchangeNamespacesGetTheirPrefixesAndDeclareThem) {
  EXPECT_EQ(Normalized(u"<SigEnvelope xmlns='urn:dez-ru:dsig:env:v1.1'>"
                       u"<s:SigValue xmlns:s='urn:dez-ru:dsig:v1.1'/>"
                       u"<ED101 xmlns='urn:dez-ru:ed:v2.0'/></SigEnvelope>",
                       false),
            "<sen:SigEnvelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\">"
            "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\"/>"
            "<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\"/></sen:SigEnvelope>");
}

TEST(FixedPrefixes, ExchangeNamespacesAreCaseSensitiveForTheFixedPrefix) {
  EXPECT_EQ(Normalized(u"<a xmlns='URN:DEZ-RU:ED:V2.0'/>", false),
            "<n1:a xmlns:n1=\"URN:DEZ-RU:ED:V2.0\"/>");
}

TEST(FixedPrefixes, OtherNamespacesAreNumberedByTheirPositionAmongAll) {
  // The exchange namespace keeps "ed" and still holds position 1.
  EXPECT_EQ(Normalized(u"<a xmlns='urn:dez-ru:ed:v2.0' xmlns:z='urn:zzz' z:x='1'/>", false),
            "<ed:a xmlns:ed=\"urn:dez-ru:ed:v2.0\" xmlns:n2=\"urn:zzz\" z:x=\"1\"/>");
}

TEST(NumberedPrefixes, TheOnlyNamespaceGetsN1) {
  EXPECT_EQ(Normalized(u"<ed:a xmlns:ed='urn:dez-ru:ed:v2.0'><ed:b/></ed:a>", true),
            "<n1:a xmlns:n1=\"urn:dez-ru:ed:v2.0\"><n1:b xmlns:n1=\"urn:dez-ru:ed:v2.0\"/></n1:a>");
}

TEST(NumberedPrefixes, TwoNamespacesOnOneElementAreNumberedByTheCollation) {
  // The schema-instance namespace (h...) sorts before the exchange's (u...).
  EXPECT_EQ(Normalized(u"<ED xmlns='urn:dez-ru:ed:v2.0' "
                       u"xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xsi:type='T'/>",
                       true),
            "<n2:ED xmlns:n1=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:n2=\"urn:dez-ru:ed:v2.0\" xsi:type=\"T\"/>");
  // Case is ignored: "urn:a" sorts before "urn:B" (ordinally it would not).
  EXPECT_EQ(Normalized(u"<p:e xmlns:p='urn:B' xmlns:q='urn:a' q:x='1'/>", true),
            "<n2:e xmlns:n1=\"urn:a\" xmlns:n2=\"urn:B\" q:x=\"1\"/>");
  // Punctuation before digits before letters.
  EXPECT_EQ(
      Normalized(u"<p:e xmlns:p='urn:a' xmlns:q='urn:1' xmlns:r='urn:-' q:x='1' r:y='2'/>", true),
      "<n3:e xmlns:n1=\"urn:-\" xmlns:n2=\"urn:1\" xmlns:n3=\"urn:a\" q:x=\"1\" r:y=\"2\"/>");
}

TEST(NumberedPrefixes, TenNamespacesGiveN10WithoutLeadingZeros) {
  std::u16string text = u"<e";
  for (char16_t c = u'a'; c <= u'j'; ++c) {
    text += u" xmlns:";
    text += c;
    text += u"='urn:";
    text += c;
    text += u"' ";
    text += c;
    text += u":x='1'";
  }
  text += u"/>";
  std::string xml = Normalized(text, true);
  EXPECT_NE(xml.find("xmlns:n1=\"urn:a\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("xmlns:n10=\"urn:j\""), std::string::npos) << xml;
  EXPECT_EQ(xml.find("n01"), std::string::npos) << xml;
}

TEST(NumberedPrefixes, ChildInAnotherNamespaceRebindsN1) {
  EXPECT_EQ(Normalized(u"<a:R xmlns:a='urn:a'><b:C xmlns:b='urn:b'/></a:R>", true),
            "<n1:R xmlns:n1=\"urn:a\"><n1:C xmlns:n1=\"urn:b\"/></n1:R>");
}

TEST(Prefixes, AttributeInANamespaceKeepsItsOwnQualifiedName) {
  EXPECT_EQ(Normalized(u"<R xmlns:p='urn:p' p:x='1' y='2'/>", false),
            "<R xmlns:n1=\"urn:p\" p:x=\"1\" y=\"2\"/>");
}

TEST(Prefixes, ElementInNoNamespaceKeepsItsLocalName) {
  EXPECT_EQ(Normalized(u"<R a='1'><C/></R>", true), "<R a=\"1\"><C/></R>");
}

TEST(Prefixes, OldDeclarationsAreAllDropped) {
  EXPECT_EQ(Normalized(u"<x:R xmlns:x='urn:dez-ru:ed:v2.0' xmlns='urn:unused' xmlns:u='urn:u'>"
                       u"<x:C xmlns:x='urn:dez-ru:ed:v2.0'/></x:R>",
                       false),
            "<ed:R xmlns:ed=\"urn:dez-ru:ed:v2.0\"><ed:C xmlns:ed=\"urn:dez-ru:ed:v2.0\"/></ed:R>");
}

TEST(Prefixes, UrisDifferingOnlyInCaseCountAsOneAndTheFirstFormIsDeclared) {
  EXPECT_EQ(Normalized(u"<p:R xmlns:p='urn:X' xmlns:q='urn:x' q:a='1'/>", true),
            "<n1:R xmlns:n1=\"urn:X\" q:a=\"1\"/>");
}

TEST(Prefixes, ChildrenKeepTheirOrderAndTheDocumentKeepsTheNewRoot) {
  Node root = LoadXmlString(u"<r xmlns='urn:dez-ru:ed:v2.0'>t1<a/>t2<b>x</b><![CDATA[c]]></r>");
  Lumo::Dom::Document document = root.ownerDocument();
  Node result = TXmlNormalizer::Normalize(root, false);
  EXPECT_NE(result, root);
  EXPECT_EQ(document.documentElement(), result);
  EXPECT_FALSE(root.hasChildNodes());
  EXPECT_EQ(Xml(result),
            "<ed:r xmlns:ed=\"urn:dez-ru:ed:v2.0\">t1<ed:a xmlns:ed=\"urn:dez-ru:ed:v2.0\"/>t2"
            "<ed:b xmlns:ed=\"urn:dez-ru:ed:v2.0\">x</ed:b><![CDATA[c]]></ed:r>");
}

TEST(Prefixes, DeepNestingDoesNotExhaustTheStack) {
  const int depth = 3000;
  std::u16string text;
  for (int i = 0; i < depth; ++i) text += u"<e xmlns='urn:dez-ru:ed:v2.0'><!--c-->";
  text += u"x";
  for (int i = 0; i < depth; ++i) text += u"</e>";
  Node root = LoadXmlString(text);
  Node result = TXmlNormalizer::Normalize(root, true);
  int levels = 0;
  for (Node n = result; n && n.isElement(); n = n.firstChild()) {
    EXPECT_EQ(n.nodeName(), u"n1:e");
    ++levels;
  }
  EXPECT_EQ(levels, depth);
}

// --- Failure -----------------------------------------------------------------------------

TEST(NormalizeFailure, ANodeThatIsNotAnElementFailsAfterTheRebuild) {
  Node root = LoadXmlString(u"<a xmlns='urn:dez-ru:ed:v2.0'><!--c--><b/></a>");
  Lumo::Dom::Document document = root.ownerDocument();
  try {
    TXmlNormalizer::Normalize(document, false);
    FAIL() << "no error";
  } catch (const Lumo::Base::EPlatformError& e) {
    EXPECT_STREQ(e.what(), "Interface not supported");
  }
  // The changes stay: the element descendants are rebuilt.
  EXPECT_EQ(Xml(document.documentElement()),
            "<ed:a xmlns:ed=\"urn:dez-ru:ed:v2.0\"><ed:b xmlns:ed=\"urn:dez-ru:ed:v2.0\"/></ed:a>");
}

// --- The namespace list ------------------------------------------------------------------

TEST(NamespaceList, SortedCaseInsensitiveAndDuplicatesIgnored) {
  TNamespaceList list;
  EXPECT_EQ(list.Add("urn:b"), 0);
  EXPECT_EQ(list.Add("urn:A"), 0);
  EXPECT_EQ(list.Add("urn:c"), 2);
  EXPECT_EQ(list.Add("URN:B"), 1);  // equal ignoring case: not added
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list[0], "urn:A");
  EXPECT_EQ(list[1], "urn:b");
  EXPECT_EQ(list[2], "urn:c");
  EXPECT_EQ(list.IndexOf("urn:a"), 0);
  EXPECT_EQ(list.IndexOf("urn:d"), -1);
  EXPECT_EQ(list.IndexOf(""), -1);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

// AddAll sorts many URIs at once: the same list as Add of each in turn, the first
// spelling of URIs equal but for case kept, whether the list held some before or not.
TEST(NamespaceList, AddAllGivesTheListThatAddGives) {
  for (size_t held : {0u, 3u, 40u}) {
    for (size_t count : {5u, 31u, 200u}) {
      std::vector<std::string> uris;
      for (size_t i = 0; i < count; ++i) {
        std::string uri = "urn:x:" + std::to_string((i * 37) % 53);
        if (i % 3 == 1) uri[0] = 'U';   // "Urn:x:..." equals "urn:x:..." but for case
        if (i % 7 == 0) uri += "\xE9";  // non-ASCII (windows-1251 letters) as well
        uris.push_back(uri);
      }
      TNamespaceList one, all;
      for (size_t i = 0; i < held; ++i) {
        const std::string uri = "urn:x:" + std::to_string(i * 5);
        one.Add(uri);
        all.Add(uri);
      }
      for (const std::string& uri : uris) one.Add(uri);
      all.AddAll(uris);
      SCOPED_TRACE(testing::Message() << held << " held, " << count << " added");
      ASSERT_EQ(all.Count(), one.Count());
      for (int i = 0; i < one.Count(); ++i) EXPECT_EQ(all[i], one[i]) << i;
    }
  }
}

TEST(NamespaceList, PrefixForNamespaceUsesTheCurrentList) {
  TXmlNormalizer fixed(false), numbered(true);
  EXPECT_EQ(fixed.PrefixForNamespace("urn:dez-ru:ed:v2.0"), "ed");
  EXPECT_EQ(fixed.PrefixForNamespace("urn:dez-ru:dsig:env:v1.1"), "sen");
  EXPECT_EQ(fixed.PrefixForNamespace("urn:dez-ru:dsig:v1.1"), "dsig");
  EXPECT_EQ(fixed.PrefixForNamespace("urn:other"), "");  // not in the (empty) list
  EXPECT_EQ(numbered.PrefixForNamespace("urn:dez-ru:ed:v2.0"), "");
  EXPECT_EQ(numbered.PrefixForNamespace(""), "");
}
