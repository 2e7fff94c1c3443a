// The canonical text taken straight from a normalized tree must be, byte for byte, what
// the element's markup parsed again gives; where that markup would not parse back, the
// tree walk must give up and leave the answer (or the error) to the markup.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "util/dom.h"
#include "util/encoding.h"
#include "util/errors.h"
#include "util/xml_helpers.h"
#include "xml/canonical.h"
#include "xml/canonicalizer.h"
#include "xml/normalizer.h"

using DEZ::Xml::TXmlCanonicalizer;
using DEZ::Xml::TXmlNormalizer;
using Lumo::Dom::Document;
using Lumo::Dom::Node;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file.good()) << path;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::u16string Seed(const char* name) {
  std::string bytes = ReadFile(std::string(LUMO_SOURCE_DIR) + "/tests/xml/fuzz_corpus/" + name);
  return Lumo::Utf8Decode(bytes);
}

struct BothWays {
  bool fromTree = false;     // the tree walk answered
  std::string tree;          // its bytes
  bool markupParses = false;
  std::string markup;        // the bytes from the markup parsed again
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
  } catch (const Lumo::EXmlParserError&) {
  }
  return r;
}

BothWays Take(const std::u16string& text, bool numbered) {
  Node root = Lumo::LoadXmlString(text);
  EXPECT_TRUE(root);
  return Take(root, numbered);
}

}  // namespace

TEST(CanonicalFromTree, PlainDocumentsAreTakenFromTheTreeWithTheMarkupsBytes) {
  const std::u16string worked =
      Lumo::Utf8Decode(ReadFile(std::string(LUMO_SOURCE_DIR) + "/tests/xml/data/worked_example.xml"));
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
      SCOPED_TRACE(Lumo::Utf8Encode(text) + (numbered ? " (numbered)" : " (fixed)"));
      BothWays r = Take(text, numbered);
      ASSERT_TRUE(r.markupParses);
      EXPECT_TRUE(r.fromTree);
      EXPECT_EQ(r.tree, r.markup);
    }
  }
}

TEST(CanonicalFromTree, IndentationOfANestedElementCountsItsDepthInTheDocument) {
  // Rebuilt elements lose the mark of dropped white space; a CDATA section keeps it.
  Node root = Lumo::LoadXmlString(
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
  Node root = Lumo::LoadXmlString(u"<a>b</a>");
  root.appendChild(root.ownerDocument().createTextNode(std::u16string(1, char16_t(0xD800))));
  BothWays lone = Take(root, false);
  EXPECT_FALSE(lone.fromTree);
  EXPECT_FALSE(lone.markupParses);
  Node again = Lumo::LoadXmlString(u"<a>b</a>");
  again.appendChild(again.ownerDocument().createTextNode(std::u16string(1, char16_t(0xDC00))));
  EXPECT_THROW(DEZ::Xml::CanonicalText(again, false), Lumo::EXmlParserError);
}

TEST(CanonicalFromTree, AParsedTreeWithNamespacesIsNotTakenDirectly) {
  // Names bound to URIs: xml adds declarations for them where none is in scope, so only
  // the normalizer's trees (bare names, declarations as attributes) go straight.
  Node root = Lumo::LoadXmlString(u"<p:a xmlns:p=\"urn:p\"><p:b/></p:a>");
  Lumo::ByteString out = "kept";
  EXPECT_FALSE(TXmlCanonicalizer::CanonicalizeTreeUtf8Append(root.firstChild(), out));
  EXPECT_EQ(out, "kept");
}
