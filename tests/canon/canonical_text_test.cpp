// CanonicalText: normalize, serialise, canonicalize, UTF-8 one unit at a time;
// the fixed-prefix form and the numbered form the Root action signs. The canonical text
// taken straight from a normalized tree must be, byte for byte, what the element's
// markup parsed again gives; where that markup would not parse back, the tree walk must
// give up and leave the answer (or the error) to the markup.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "base/encoding.h"
#include "base/errors.h"
#include "base/stream.h"
#include "canon/canonical.h"
#include "canon/canonicalizer.h"
#include "canon/normalizer.h"
#include "canon/shortcut.h"
#include "dom/xml_helpers.h"

using Lumo::Canon::CanonicalText;
using Lumo::Canon::TXmlCanonicalizer;
using Lumo::Canon::TXmlNormalizer;
using Lumo::Dom::Node;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file.good()) << path;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string DataPath(const char* name) {
  return std::string(LUMO_SOURCE_DIR) + "/tests/canon/data/" + name;
}

Node LoadBytes(const std::string& bytes) {
  Lumo::Base::TMemoryStream stream;
  stream.Write(bytes.data(), bytes.size());
  stream.SetPosition(0);
  return Lumo::Dom::LoadXmlStream(stream);
}

// Process step 1: the fixed-prefix canonical text of the document.
std::string Fixed(std::u16string_view text) {
  return CanonicalText(Lumo::Dom::LoadXmlString(text), Lumo::Canon::PrefixScheme::Fixed);
}

// SignRoot steps 1 and 2: the numbered-prefix canonical text of the document parsed
// back from its fixed-prefix canonical text.
std::string NumberedFromFixed(const std::string& c0) {
  Node r1 = Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(c0));
  return CanonicalText(r1, Lumo::Canon::PrefixScheme::Numbered);
}

std::string Numbered(std::u16string_view text) { return NumberedFromFixed(Fixed(text)); }

std::u16string Seed(const char* name) {
  std::string bytes = ReadFile(std::string(LUMO_SOURCE_DIR) + "/tests/canon/fuzz_corpus/" + name);
  return Lumo::Base::Utf8Decode(bytes);
}

struct BothWays {
  bool fromTree = false;  // the tree walk answered
  std::string tree;       // its bytes
  bool markupParses = false;
  std::string markup;  // the bytes from the markup parsed again
};

// Normalizes `element` (the document element unless given) and takes its canonical
// bytes both ways.
BothWays Take(const Node& element, bool numbered) {
  BothWays r;
  Node normalized = TXmlNormalizer::Normalize(element, numbered);
  r.fromTree = TXmlCanonicalizer::CanonicalizeTreeUtf8Append(normalized, r.tree);
  try {
    TXmlCanonicalizer::CanonicalizeUtf8Append(normalized.xml(), r.markup);
    r.markupParses = true;
  } catch (const Lumo::Base::EXmlParserError&) {
  }
  return r;
}

BothWays Take(const std::u16string& text, bool numbered) {
  Node root = Lumo::Dom::LoadXmlString(text);
  EXPECT_TRUE(root);
  return Take(root, numbered);
}

}  // namespace

// --- The worked example: a payment order -----------------------------------------------------

TEST(WorkedExample, FixedAndNumberedFormsHoldByteForByte) {
  const std::string input = ReadFile(DataPath("worked_example.xml"));
  const std::string fixed = ReadFile(DataPath("worked_example.fixed"));
  const std::string numbered = ReadFile(DataPath("worked_example.numbered"));
  ASSERT_EQ(fixed,
            "<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\" EDDate=\"2026-01-01\" EDNo=\"1\">"
            "<ed:Payer INN=\"77\"><ed:Name>\xD0\x9E\xD0\x9E\xD0\x9E \"\xD0\xA0\xD0\xBE\xD0\xBC"
            "\xD0\xB0\xD1\x88\xD0\xBA\xD0\xB0\"</ed:Name></ed:Payer><ed:Purpose>\xD0\x9E\xD0\xBF"
            "\xD0\xBB\xD0\xB0\xD1\x82\xD0\xB0 &amp; &lt;\xD1\x82\xD0\xBE\xD0\xB2\xD0\xB0\xD1\x80"
            "&gt;</ed:Purpose><ed:Empty></ed:Empty></ed:ED101>");

  std::string c0 = CanonicalText(LoadBytes(input), Lumo::Canon::PrefixScheme::Fixed);
  EXPECT_EQ(c0, fixed);
  EXPECT_EQ(NumberedFromFixed(c0), numbered);

  // The same through a file load, as SignFile reads documents.
  Node fromFile = Lumo::Dom::LoadXmlFile(DataPath("worked_example.xml"));
  EXPECT_EQ(CanonicalText(fromFile, Lumo::Canon::PrefixScheme::Fixed), fixed);
}

TEST(WorkedExample, NumberedIsTheFixedFormWithN1InPlaceOfEd) {
  std::string fixed = ReadFile(DataPath("worked_example.fixed"));
  std::string expected;
  for (size_t i = 0; i < fixed.size();) {
    bool replaced = false;
    for (std::string_view from : {"<ed:", "</ed:", "xmlns:ed="}) {
      if (fixed.compare(i, from.size(), from) == 0) {
        std::string to(from);
        to.replace(to.find("ed:") == std::string::npos ? to.find("ed=") : to.find("ed:"), 2, "n1");
        expected += to;
        i += from.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) expected += fixed[i++];
  }
  EXPECT_EQ(ReadFile(DataPath("worked_example.numbered")), expected);
}

// --- Pipeline properties ------------------------------------------------------------------

TEST(CanonicalText, RewritesTheDocumentInPlace) {
  Node root = Lumo::Dom::LoadXmlString(u"<a xmlns='urn:dez-ru:ed:v2.0'><!--c--><b/></a>");
  Lumo::Dom::Document document = root.ownerDocument();
  EXPECT_EQ(CanonicalText(root, Lumo::Canon::PrefixScheme::Numbered),
            "<n1:a xmlns:n1=\"urn:dez-ru:ed:v2.0\"><n1:b></n1:b></n1:a>");
  EXPECT_NE(document.documentElement(), root);
  EXPECT_EQ(document.documentElement().nodeName(), u"n1:a");
  EXPECT_FALSE(root.hasChildNodes());
}

TEST(CanonicalText, CharactersBeyondTheBasicPlaneBecomeTwoThreeByteSequences) {
  // U+1D11E is D834 DD1E in UTF-16: ED A0 B4, ED B4 9E.
  EXPECT_EQ(Fixed(u"<a v='\U0001D11E'>\U0001D11E</a>"),
            "<a v=\"\xED\xA0\xB4\xED\xB4\x9E\">\xED\xA0\xB4\xED\xB4\x9E</a>");
  EXPECT_EQ(Fixed(u"<a>\u041F\u20AC</a>"), "<a>\xD0\x9F\xE2\x82\xAC</a>");
}

TEST(CanonicalText, TextLineEndsComeOutAsLineFeeds) {
  EXPECT_EQ(Fixed(u"<a>x\r\ny\rz\n</a>"), "<a>x\ny\nz\n</a>");
  EXPECT_EQ(Fixed(u"<a>x&#13;&#10;y</a>"), "<a>x\n\ny</a>");
}

TEST(CanonicalText, AttributeTabAndLineEndsBecomeSpacesAfterTheRoundTrip) {
  EXPECT_EQ(Fixed(u"<a v='1&#9;2&#13;&#10;3&#10;4' q='&quot;'/>"),
            "<a q=\"&quot;\" v=\"1 2 3 4\"></a>");
}

TEST(CanonicalText, AmpersandInAnAttributeMakesTheNumberedStepFail) {
  std::string c0 = Fixed(u"<a v='x&amp;y'/>");
  EXPECT_EQ(c0, "<a v=\"x&y\"></a>");
  EXPECT_THROW(NumberedFromFixed(c0), Lumo::Base::EXmlParserError);
}

TEST(CanonicalText, CDataIsKeptWithItsMarkup) {
  EXPECT_EQ(Fixed(u"<a xmlns='urn:dez-ru:ed:v2.0'><![CDATA[<x>&amp;]]></a>"),
            "<ed:a xmlns:ed=\"urn:dez-ru:ed:v2.0\"><![CDATA[<x>&amp;]]></ed:a>");
}

TEST(CanonicalText, DeclarationsRepeatOnlyWhereTheDirectParentDiffers) {
  EXPECT_EQ(Numbered(u"<a:R xmlns:a='urn:a' xmlns:b='urn:b'><b:C><a:G/></b:C><a:D/></a:R>"),
            "<n1:R xmlns:n1=\"urn:a\"><n1:C xmlns:n1=\"urn:b\"><n1:G xmlns:n1=\"urn:a\"></n1:G>"
            "</n1:C><n1:D></n1:D></n1:R>");
}

TEST(CanonicalText, AttributePrefixesStayAndAreUndeclaredInTheNumberedForm) {
  // The fixed form declares the attribute's namespace under a numbered prefix but keeps
  // the attribute's own prefix, which no declaration binds; parsed back, that attribute
  // has no namespace, so the numbered form declares only the element's namespace.
  const char16_t* text =
      u"<ED xmlns='urn:dez-ru:ed:v2.0' xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
      u"xsi:type='T' A='1'/>";
  std::string c0 = Fixed(text);
  EXPECT_EQ(c0,
            "<ed:ED xmlns:ed=\"urn:dez-ru:ed:v2.0\" "
            "xmlns:n1=\"http://www.w3.org/2001/XMLSchema-instance\" A=\"1\" xsi:type=\"T\">"
            "</ed:ED>");
  EXPECT_EQ(NumberedFromFixed(c0),
            "<n1:ED xmlns:n1=\"urn:dez-ru:ed:v2.0\" A=\"1\" xsi:type=\"T\"></n1:ED>");
  // Normalized directly with numbered prefixes, both namespaces are numbered.
  EXPECT_EQ(CanonicalText(Lumo::Dom::LoadXmlString(text), Lumo::Canon::PrefixScheme::Numbered),
            "<n2:ED xmlns:n1=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:n2=\"urn:dez-ru:ed:v2.0\" A=\"1\" xsi:type=\"T\"></n2:ED>");
}

TEST(CanonicalText, SchemaInstanceLocationsCommentsAndWhiteSpaceLeaveNoTrace) {
  EXPECT_EQ(Fixed(u"<?xml version='1.0'?>\n<!--c-->\n<?pi x?>\n"
                  u"<a xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                  u"xsi:noNamespaceSchemaLocation='a.xsd'>\n\t<b xsi:nil='true'>\n\t\t<c/>\n"
                  u"\t</b><!--x-->\n</a>"),
            "<a><b><c></c></b></a>");
}

TEST(CanonicalText, DocumentsDifferingOnlyInFormGiveIdenticalBytes) {
  const char16_t* a =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      u"<!-- exported -->\n"
      u"<ed:Doc xmlns:ed=\"urn:dez-ru:ed:v2.0\" xmlns:x=\"urn:other\" b=\"2\" a=\"1\" x:c=\"3\">\n"
      u"  <ed:Item n=\"1\">text &amp; more</ed:Item>\n"
      u"  <!-- second item -->\n"
      u"  <ed:Item n=\"2\" x:k=\"v\"/>\n"
      u"</ed:Doc>\n";
  const char16_t* b =
      u"<Doc a='1' xmlns='urn:dez-ru:ed:v2.0' xmlns:x='urn:other' x:c='3' b='2'>"
      u"<?producer v2?><Item n='1'>text &#38; more</Item><Item x:k='v' n='2'>"
      u"</Item></Doc>";
  const char16_t* c =
      u"<p:Doc xmlns:p=\"urn:dez-ru:ed:v2.0\" x:c=\"3\" xmlns:x=\"urn:other\" b=\"2\" a=\"1\">"
      u"<p:Item xmlns:p=\"urn:dez-ru:ed:v2.0\" n=\"1\">text &amp; more</p:Item>"
      u"\r\n\t<q:Item xmlns:q=\"urn:dez-ru:ed:v2.0\" xmlns:x=\"urn:other\" n=\"2\" x:k=\"v\"/>"
      u"</p:Doc>";
  std::string fixedA = Fixed(a);
  EXPECT_EQ(fixedA,
            "<ed:Doc xmlns:ed=\"urn:dez-ru:ed:v2.0\" xmlns:n2=\"urn:other\" a=\"1\" b=\"2\" "
            "x:c=\"3\"><ed:Item n=\"1\">text &amp; more</ed:Item><ed:Item n=\"2\" x:k=\"v\">"
            "</ed:Item></ed:Doc>");
  EXPECT_EQ(Fixed(b), fixedA);
  EXPECT_EQ(Numbered(a), Numbered(b));
  EXPECT_EQ(Numbered(a),
            "<n1:Doc xmlns:n1=\"urn:dez-ru:ed:v2.0\" a=\"1\" b=\"2\" x:c=\"3\"><n1:Item n=\"1\">"
            "text &amp; more</n1:Item><n1:Item n=\"2\" x:k=\"v\"></n1:Item></n1:Doc>");
  EXPECT_EQ(Fixed(c), fixedA);
  EXPECT_EQ(Numbered(c), Numbered(a));
}

TEST(CanonicalText, NumberedFormOfTheFixedFormIsStable) {
  // Canonicalizing the numbered text's document again gives the same bytes.
  std::string c1 = Numbered(u"<r xmlns='urn:dez-ru:ed:v2.0' z='1' a='2'><s>x</s><t/></r>");
  Node again = Lumo::Dom::LoadXmlString(Lumo::Base::Utf8Decode(c1));
  EXPECT_EQ(CanonicalText(again, Lumo::Canon::PrefixScheme::Numbered), c1);
}

// --- The canonical text taken straight from the tree ------------------------------------

TEST(CanonicalFromTree, PlainDocumentsAreTakenFromTheTreeWithTheMarkupsBytes) {
  const std::u16string worked = Lumo::Base::Utf8Decode(
      ReadFile(std::string(LUMO_SOURCE_DIR) + "/tests/canon/data/worked_example.xml"));
  // Dropped white space written back as indentation that merges with neighbouring text
  // (comments and processing instructions removed between them), before end tags too;
  // CR from references in text, CDATA and attributes; escapes; empty and white-space
  // CDATA; attribute prefixes the normalizer leaves undeclared or bound to another URI;
  // entity text and declared defaults; namespaces that differ only in case.
  const std::u16string documents[] = {
      worked,
      Seed("01-indent-merges-with-text.xml"),
      Seed("02-white-space-before-end.xml"),
      Seed("03-carriage-returns.xml"),
      Seed("04-attribute-values.xml"),
      Seed("05-attribute-prefix-left-undeclared.xml"),
      Seed("08-cdata-edges.xml"),
      Seed("09-prefix-collision.xml"),
      Seed("10-entities-and-defaults.xml"),
      Seed("11-case-folded-namespaces.xml"),
  };
  for (const std::u16string& text : documents) {
    for (bool numbered : {false, true}) {
      SCOPED_TRACE(Lumo::Base::Utf8Encode(text) + (numbered ? " (numbered)" : " (fixed)"));
      BothWays r = Take(text, numbered);
      ASSERT_TRUE(r.markupParses);
      EXPECT_TRUE(r.fromTree);
      EXPECT_EQ(r.tree, r.markup);
    }
  }
}

TEST(CanonicalFromTree, IndentationOfANestedElementCountsItsDepthInTheDocument) {
  // Rebuilt elements lose the mark of dropped white space; a CDATA section keeps it.
  Node root = Lumo::Dom::LoadXmlString(
      u"<r>\n  <s>\n    <t>x<!--c-->\n      <![CDATA[y]]>\n    </t>\n  </s>\n</r>");
  Node t = root.firstChild().firstChild();
  ASSERT_EQ(t.nodeName(), u"t");
  BothWays r = Take(t, false);
  ASSERT_TRUE(r.fromTree);
  EXPECT_EQ(r.tree, r.markup);
  // Three tabs: the section is at depth 3 of the document.
  EXPECT_EQ(r.tree, "<t>x\n\t\t\t<![CDATA[y]]></t>");
}

TEST(CanonicalFromTree, GivesUpWhereTheMarkupWouldNotParseBack) {
  // After normalization the child's n1 and n3 both name urn:B (one declared on the child,
  // the other on the parent): the markup parsed again has one attribute twice.
  BothWays duplicate = Take(Seed("06-duplicate-after-parse.xml"), false);
  EXPECT_FALSE(duplicate.markupParses);
  EXPECT_FALSE(duplicate.fromTree);
  EXPECT_TRUE(duplicate.tree.empty());

  // xml:space brings the XML namespace into the list: a prefix bound to it does not parse.
  BothWays space = Take(Seed("07-xml-space.xml"), true);
  EXPECT_FALSE(space.markupParses);
  EXPECT_FALSE(space.fromTree);

  // A lone surrogate set through the tree: CanonicalText reports the parse error.
  Node root = Lumo::Dom::LoadXmlString(u"<a>b</a>");
  root.appendChild(root.ownerDocument().createTextNode(std::u16string(1, char16_t(0xD800))));
  BothWays lone = Take(root, false);
  EXPECT_FALSE(lone.fromTree);
  EXPECT_FALSE(lone.markupParses);
  Node again = Lumo::Dom::LoadXmlString(u"<a>b</a>");
  again.appendChild(again.ownerDocument().createTextNode(std::u16string(1, char16_t(0xDC00))));
  EXPECT_THROW(Lumo::Canon::CanonicalText(again, Lumo::Canon::PrefixScheme::Fixed),
               Lumo::Base::EXmlParserError);
}

TEST(CanonicalFromTree, AParsedTreeWithNamespacesIsNotTakenDirectly) {
  // Names bound to URIs: xml adds declarations for them where none is in scope, so only
  // the normalizer's trees (bare names, declarations as attributes) go straight.
  Node root = Lumo::Dom::LoadXmlString(u"<p:a xmlns:p=\"urn:p\"><p:b/></p:a>");
  Lumo::Base::ByteString out = "kept";
  EXPECT_FALSE(TXmlCanonicalizer::CanonicalizeTreeUtf8Append(root.firstChild(), out));
  EXPECT_EQ(out, "kept");
}

// --- The numbered text taken without rewriting the tree ---------------------------------

TEST(NumberedKeepingTree, TreesParsedFromFixedTextsGiveTheRewritesBytesAndStayAsTheyWere) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  const std::u16string documents[] = {
      Lumo::Base::Utf8Decode(ReadFile(DataPath("worked_example.xml"))),
      // URIs changing from parent to child and back, an element in no namespace between
      // two in the same one, the exchange namespaces next to others, escapes, CR, CDATA
      // ('&' and '<' stay bare in the fixed text's attribute values: none there).
      u"<e:A xmlns:e='urn:dez-ru:ed:v2.0' xmlns:s='urn:dez-ru:dsig:env:v1.1' b='&gt;' a='x&gt;'>"
      u"<s:B><e:C z='1' y='&#9;&#10;&#13;\"'>t&#13;&#10;u &amp; &lt;v&gt;</e:C></s:B>"
      u"<D><e:E/><F xmlns='urn:other'><![CDATA[<&>\r\n]]></F></D><e:G "
      u"xmlns:e='urn:DEZ-RU:ED:V2.0'/></e:A>",
      Seed("01-indent-merges-with-text.xml"),
      Seed("03-carriage-returns.xml"),
      Seed("08-cdata-edges.xml"),
      Seed("10-entities-and-defaults.xml"),
  };
  for (const std::u16string& text : documents) {
    SCOPED_TRACE(Lumo::Base::Utf8Encode(text));
    const std::string c0 = Fixed(text);
    Node r1 = Lumo::Dom::LoadXmlUtf8(c0);
    const std::u16string before = r1.xml();
    std::optional<std::string> kept = Lumo::Canon::NumberedCanonicalTextKeepingTree(r1);
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, NumberedFromFixed(c0));
    EXPECT_EQ(r1.xml(), before);
  }
}

TEST(NumberedKeepingTree, OtherTreesAreLeftToTheRewrite) {
  // A prefixed attribute (its URI joins the list), attributes out of canonical order,
  // white space the parser dropped, a comment the rewrite would remove, text next to
  // text, a URI outside ASCII (it goes through the ANSI code page).
  Node attributePrefix = Lumo::Dom::LoadXmlUtf8(
      Fixed(u"<a xmlns='urn:a' xmlns:x='http://www.w3.org/2001/XMLSchema-instance' x:type='t'/>"));
  Node unordered = Lumo::Dom::LoadXmlString(u"<a z='1' b='2'/>");
  Node spaced = Lumo::Dom::LoadXmlString(u"<a>\n  <b/>\n</a>");
  Node comment = Lumo::Dom::LoadXmlString(u"<a><!--c--></a>");
  Node adjacent = Lumo::Dom::LoadXmlString(u"<a>x</a>");
  adjacent.appendChild(adjacent.ownerDocument().createTextNode(u"y"));
  Node cyrillic = Lumo::Dom::LoadXmlString(u"<a xmlns='urn:\u0434'/>");
  for (const Node* tree : {&attributePrefix, &unordered, &spaced, &comment, &adjacent, &cyrillic}) {
    SCOPED_TRACE(Lumo::Base::Utf8Encode(tree->xml()));
    const std::u16string before = tree->xml();
    EXPECT_FALSE(Lumo::Canon::NumberedCanonicalTextKeepingTree(*tree));
    EXPECT_EQ(tree->xml(), before);
  }
}

// --- The fixed-prefix text taken without rewriting the tree ------------------------------

TEST(FixedWithoutRewrite, LoadedDocumentsGiveTheRewritesBytesAndSettledAndStayAsTheyWere) {
  const std::u16string documents[] = {
      Lumo::Base::Utf8Decode(ReadFile(DataPath("worked_example.xml"))),
      // Comments, processing instructions and white space removed between text runs that
      // then merge; white space remembered before text, CDATA and end tags.
      Seed("01-indent-merges-with-text.xml"),
      Seed("02-white-space-before-end.xml"),
      Seed("03-carriage-returns.xml"),
      Seed("04-attribute-values.xml"),
      Seed("08-cdata-edges.xml"),
      Seed("10-entities-and-defaults.xml"),
      Seed("12-cdata-after-dropped-white-space.xml"),
      // Attributes in namespaces of their own: each element declares its list, which may
      // renumber it, and leaves out what its parent declares alike; URIs equal but for
      // case count once; more namespaces on one element than the list inserts one by one.
      Seed("18-prefixed-attributes-in-their-own-namespaces.xml"),
      Seed("19-prefixed-attributes-renumber-the-element.xml"),
      Seed("21-many-attribute-namespaces-on-one-element.xml"),
      u"<r xmlns:u='urn:u'><a xmlns:p='urn:p' p:b='1' u:c='2' q:d='unbound'><b p:e='3'/></a></r>",
      // Default and prefixed element namespaces, the exchange's and others, an element in
      // no namespace between two in the same one, schema-instance attributes removed (one
      // kept: its local name is not among the removed), attributes out of order.
      u"<?xml version='1.0'?>\n<!--before-->\n<PacketEPD xmlns='urn:dez-ru:ed:v2.0'"
      u" xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xsi:schemaLocation='a b' z='1' "
      u"a='2'>\n"
      u"\t<ED101 xsi:nil='true'><s:Sig xmlns:s='urn:dez-ru:dsig:v1.1'>AA==</s:Sig>\n"
      u"\t\t<Plain xmlns=''><ED104 xmlns='urn:dez-ru:ed:v2.0'>t<!--c--> u</ED104></Plain>\n"
      u"\t\t<o:x xmlns:o='urn:other'/><e:y "
      u"xmlns:e='urn:dez-ru:dsig:env:v1.1'/></ED101>\n</PacketEPD>",
  };
  for (const std::u16string& text : documents) {
    SCOPED_TRACE(Lumo::Base::Utf8Encode(text));
    Node root = Lumo::Dom::LoadXmlString(text);
    const std::u16string before = root.xml();
    std::string taken;
    bool settled = false;
    ASSERT_TRUE(TXmlCanonicalizer::FixedTreeUtf8Append(root, taken, &settled));
    EXPECT_EQ(root.xml(), before);
    BothWays rewrite = Take(Lumo::Dom::LoadXmlString(text), false);
    EXPECT_EQ(taken, rewrite.fromTree ? rewrite.tree : rewrite.markup);
    Lumo::Base::ByteString again;
    bool rewriteSettled = false;
    if (rewrite.fromTree) {
      Node normalized = TXmlNormalizer::Normalize(Lumo::Dom::LoadXmlString(text), false);
      ASSERT_TRUE(
          TXmlCanonicalizer::CanonicalizeTreeUtf8Append(normalized, again, &rewriteSettled));
      EXPECT_EQ(settled, rewriteSettled);
    }
  }
}

TEST(FixedWithoutRewrite, TakenChildByChildAsTheRootsChildrenAreParsed) {
  // Many children (several batches, the root's start tag taken once), with prefixed
  // attributes on the root, on the children and below them: the text taken as the input
  // is parsed must be the reference text of the whole document, and settled never.
  struct Case {
    const char* root;   // the root's start tag
    const char* child;  // one child, repeated
    bool settled;
  };
  const Case cases[] = {
      {"<P xmlns='urn:dez-ru:ed:v2.0' xmlns:pay='urn:pay' pay:n='1' a='2'>",
       "<E pay:s='3' b='4'><F pay:acc='5'>t</F><G/></E>", false},
      {"<p:P xmlns:p='urn:zz' xmlns:q='urn:aa' q:n='1'>", "<p:E><p:F q:k='2'/></p:E>", false},
      {"<P xmlns='urn:dez-ru:ed:v2.0' xmlns:pay='urn:pay'>", "<E><F>t</F></E>", true},
  };
  for (const Case& c : cases) {
    std::string doc = c.root;
    for (int i = 0; i < 100; ++i) doc += c.child;
    doc += std::string("</") + (c.root[1] == 'p' ? "p:P" : "P") + ">";
    SCOPED_TRACE(doc);
    const std::u16string text = Lumo::Base::WideFromUtf8(doc);
    bool settled = !c.settled;
    Lumo::Canon::FixedTextByChildren taker;
    Node root = Lumo::Dom::LoadXmlString(
        text, [&taker](const Node& parsed) { return taker.TakeChildren(parsed); });
    EXPECT_TRUE(taker.TookChildren());
    std::optional<std::string> taken = taker.Finish(root, settled);
    ASSERT_TRUE(taken);  // the walk answered: the document was never held whole
    EXPECT_EQ(*taken, Lumo::Canon::Reference::CanonicalText(Lumo::Dom::LoadXmlString(text),
                                                            Lumo::Canon::PrefixScheme::Fixed));
    EXPECT_EQ(settled, c.settled);
  }
}

TEST(FixedWithoutRewrite, OtherTreesAreLeftToTheNormalizer) {
  // Attribute prefixes that the rewrite's declarations may bind once the markup is parsed
  // again ("n" and digits, an exchange prefix, "xml"), a URI outside ASCII (it goes
  // through the ANSI code page), also an attribute's, a name in the declarations' group
  // that is not a declaration, an element without a parent.
  Node numberedPrefix = Lumo::Dom::LoadXmlString(u"<a xmlns:n2='urn:p' n2:b='1'/>");
  Node exchangePrefix = Lumo::Dom::LoadXmlString(u"<a xmlns:ed='urn:p' ed:b='1'/>");
  Node xmlPrefix = Lumo::Dom::LoadXmlString(u"<a xml:lang='ru'/>");
  Node cyrillic = Lumo::Dom::LoadXmlString(u"<a xmlns='urn:\u0434'/>");
  Node cyrillicAttribute = Lumo::Dom::LoadXmlString(u"<a xmlns:p='urn:\u0434' p:b='1'/>");
  Node declarationLike = Lumo::Dom::LoadXmlString(u"<a xmlnsx='1'/>");
  Node detached = Lumo::Dom::LoadXmlString(u"<a/>").ownerDocument().createElement(u"b");
  for (const Node* tree : {&numberedPrefix, &exchangePrefix, &xmlPrefix, &cyrillic,
                           &cyrillicAttribute, &declarationLike, &detached}) {
    SCOPED_TRACE(Lumo::Base::Utf8Encode(tree->xml()));
    std::string out = "kept";
    EXPECT_FALSE(TXmlCanonicalizer::FixedTreeUtf8Append(*tree, out));
    EXPECT_EQ(out, "kept");
  }
}

// --- One walk, three trees: runs, marks and neighbouring text --------------------------

TEST(TreeWalks, EachTreeGivesItsLongWaysBytesOrIsLeftToIt) {
  // The walk's per-tree rules on dropped white space and text runs: the tree as parsed
  // again writes every mark, the fixed-prefix rewrite drops element marks, removes
  // comments, processing instructions and blank text and merges the text that becomes
  // neighbours, the numbered rewrite refuses all of these.
  struct Case {
    const char16_t* text;
    bool fixedAnswers;
    bool numberedAnswers;
  };
  const Case cases[] = {
      {u"<a xmlns='urn:a'><b>t</b><c y='1' z='2'>u<![CDATA[v]]></c></a>", true, true},
      {u"<a>x<!--c-->y<?p d?>z</a>", true, false},
      {u"<a>\n  <b/>\n  <c>t</c>\n</a>", true, false},
      {u"<a><b/>\n  <![CDATA[y]]>\n  t<b/></a>", true, false},
      {u"<a>x<!--c-->\n  <!--d-->y</a>", true, false},
      {u"<a xmlns:p='urn:p' p:b='1'>t</a>", true, false},
      {u"<a xmlns:n1='urn:p' n1:b='1'>t</a>", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Lumo::Base::Utf8Encode(c.text));
    BothWays parsed = Take(Lumo::Dom::LoadXmlString(c.text), false);
    ASSERT_TRUE(parsed.fromTree && parsed.markupParses);
    EXPECT_EQ(parsed.tree, parsed.markup);

    std::string fixed = "kept";
    EXPECT_EQ(TXmlCanonicalizer::FixedTreeUtf8Append(Lumo::Dom::LoadXmlString(c.text), fixed),
              c.fixedAnswers);
    EXPECT_EQ(fixed, c.fixedAnswers ? "kept" + parsed.markup : "kept");

    std::string numbered = "kept";
    EXPECT_EQ(TXmlCanonicalizer::NumberedTreeUtf8Append(Lumo::Dom::LoadXmlString(c.text), numbered),
              c.numberedAnswers);
    if (c.numberedAnswers) {
      EXPECT_EQ(numbered, "kept" + Take(Lumo::Dom::LoadXmlString(c.text), true).markup);
    } else {
      EXPECT_EQ(numbered, "kept");
    }
  }
}

// --- The switch to the reference way ------------------------------------------------------

TEST(ReferenceSwitch, BypassesTheShortcutsAndKeepsTheBytes) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  const std::u16string text = u"<a xmlns='urn:dez-ru:ed:v2.0'><b>t</b></a>";
  Node r1 = Lumo::Dom::LoadXmlUtf8(Fixed(text));
  ASSERT_TRUE(Lumo::Canon::NumberedCanonicalTextKeepingTree(r1));
  const std::string fast = NumberedFromFixed(Fixed(text));
  Lumo::Canon::Shortcuts::ForceReference(true);
  EXPECT_FALSE(Lumo::Canon::NumberedCanonicalTextKeepingTree(r1));
  bool settled = true;
  const std::string c0 = Lumo::Canon::FixedCanonicalText(Lumo::Dom::LoadXmlString(text), settled);
  EXPECT_FALSE(settled);
  const std::string reference = NumberedFromFixed(c0);
  Lumo::Canon::Shortcuts::ForceReference(false);
  EXPECT_EQ(reference, fast);
}
