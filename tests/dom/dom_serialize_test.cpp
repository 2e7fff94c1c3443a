// Serialisation of each node kind, escaping, line ends, re-indentation, attribute order.
#include <gtest/gtest.h>

#include "base/encoding.h"
#include "base/errors.h"
#include "dom/dom.h"

using namespace Lumo::Base;
using namespace Lumo::Dom;

namespace {

Node Root(WideView text) {
  Document d = Document::Create();
  EXPECT_TRUE(d.loadXML(text)) << std::string(d.parseError().reason.begin(),
                                              d.parseError().reason.end());
  return d.documentElement();
}

TEST(DomSerialize, TextEscapesAndLineEnds) {
  Node r = Root(u"<r>a &amp; b &lt; c &gt; d \" ' \r\nx\ry\u0416</r>");
  EXPECT_EQ(r.xml(), u"<r>a &amp; b &lt; c &gt; d \" ' \r\nx\r\ny\u0416</r>");
  EXPECT_EQ(r.firstChild().nodeValue(), u"a & b < c > d \" ' \nx\ny\u0416");
}

TEST(DomSerialize, AttributeEscapes) {
  Node r = Root(u"<r a='x\"y&amp;&lt;&gt;&apos;' b=\"t&#9;c&#13;l&#10;e\" c=\"lit\ttab\nnl\"/>");
  EXPECT_EQ(r.xml(),
            u"<r a=\"x&quot;y&amp;&lt;&gt;'\" b=\"t&#9;c&#13;l&#10;e\" c=\"lit tab nl\"/>");
  EXPECT_EQ(r.getAttribute(u"b"), u"t\tc\rl\ne");
}

TEST(DomSerialize, EmptyElementsAndOtherKinds) {
  Node r = Root(u"<r><e/><f></f><!-- c & < --><?pi a\nb?><![CDATA[<x>&]]></r>");
  EXPECT_EQ(r.xml(), u"<r><e/><f/><!-- c & < --><?pi a\r\nb?><![CDATA[<x>&]]></r>");
  Node pi = r.childNodes().item(3);
  EXPECT_EQ(pi.nodeType(), NODE_PROCESSING_INSTRUCTION);
  EXPECT_EQ(pi.nodeName(), u"pi");
  EXPECT_EQ(pi.nodeValue(), u"a\nb");
  EXPECT_TRUE(r.childNodes().item(4).isText());
  EXPECT_EQ(r.childNodes().item(4).nodeName(), u"#cdata-section");
}

TEST(DomSerialize, ReindentsWhereWhiteSpaceWasDropped) {
  Node r = Root(u"<root>\n<a>\n<b/>\n</a>\n</root>");
  EXPECT_EQ(r.xml(), u"<root>\r\n\t<a>\r\n\t\t<b/>\r\n\t</a>\r\n</root>");
  // A child's own xml uses its depth in the document, without a break around it.
  EXPECT_EQ(r.firstChild().xml(), u"<a>\r\n\t\t<b/>\r\n\t</a>");
}

TEST(DomSerialize, WhiteSpaceKeptWithXmlSpacePreserve) {
  Node r = Root(u"<r xml:space=\"preserve\"> <a> </a><b xml:space=\"default\"> <c/> </b>\n</r>");
  EXPECT_EQ(r.xml(),
            u"<r xml:space=\"preserve\"> <a> </a><b "
            u"xml:space=\"default\">\r\n\t\t<c/>\r\n\t</b>\r\n</r>");
  EXPECT_EQ(r.childNodes().length(), 4);
}

TEST(DomSerialize, TextWithWhiteSpaceAndOtherCharactersIsKeptWhole) {
  Node r = Root(u"<r>\n  x  \n<a/></r>");
  EXPECT_EQ(r.firstChild().nodeValue(), u"\n  x  \n");
  EXPECT_EQ(r.text(), u"x");
}

TEST(DomSerialize, AttributeOrderDocumentThenSetAttribute) {
  Node r = Root(u"<r z=\"1\" xmlns:p=\"urn:p\" a=\"2\"/>");
  r.setAttribute(u"m", u"3");
  r.setAttribute(u"z", u"9");
  EXPECT_EQ(r.xml(), u"<r z=\"9\" xmlns:p=\"urn:p\" a=\"2\" m=\"3\"/>");
}

TEST(DomSerialize, CreatedElementsCarryNoIndentMark) {
  Document d = Document::Create();
  Node e = d.createElement(u"dsig:SigValue");
  e.setAttribute(u"xmlns:dsig", u"urn:dez-ru:dsig:v1.1");
  e.setText(u"QUJD");
  EXPECT_EQ(e.xml(), u"<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJD</dsig:SigValue>");
  EXPECT_EQ(e.namespaceURI(), u"");
  EXPECT_EQ(e.prefix(), u"dsig");
  EXPECT_EQ(e.baseName(), u"SigValue");
}

TEST(DomSerialize, DocumentXmlDropsEncodingAndEndsLinesWithCrLf) {
  Document d = Document::Create();
  ASSERT_TRUE(d.loadXML(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--c-->\n<r/>"));
  EXPECT_EQ(d.xml(), u"<?xml version=\"1.0\"?>\r\n<!--c-->\r\n<r/>\r\n");
  EXPECT_EQ(d.firstChild().nodeName(), u"xml");
}

TEST(DomSerialize, Utf8MarkupIsTheEncodedWideMarkup) {
  // Long enough to be encoded in several pieces; the pieces may split a surrogate pair.
  WideString text;
  for (int i = 0; i < 40000; ++i) text += (i % 7 == 0) ? u"\u0416&" : u"ab\U0001F600<";
  Document d = Document::Create();
  ASSERT_TRUE(d.loadXML(u"<r xmlns=\"urn:a\" at=\"q&quot;\n\"><!--c--><x/><![CDATA[cd]]></r>"));
  Node r = d.documentElement();
  Node x = r.firstChild().nextSibling();
  x.setText(text);
  for (const Node& n : {r, x, d.firstChild(), static_cast<Node>(d)}) {
    ByteString bytes = "keep";
    n.appendXmlUtf8(bytes);
    EXPECT_EQ(bytes, "keep" + Utf8Encode(n.xml()));
    // Handed over in pieces, the same bytes.
    ByteString joined;
    int pieces = 0;
    n.writeXmlUtf8([&](ByteString& piece) {
      joined += piece;
      piece.clear();
      ++pieces;
    });
    EXPECT_EQ(joined, Utf8Encode(n.xml()));
    EXPECT_GE(pieces, 1);
  }
  // A long markup comes in several pieces; a consumer that fails stops the writing.
  int pieces = 0;
  r.writeXmlUtf8([&](ByteString& piece) {
    piece.clear();
    ++pieces;
  });
  EXPECT_GT(pieces, 1);
  EXPECT_THROW(r.writeXmlUtf8([](ByteString&) { throw EPlatformError("disk full", kE_FAIL); }),
               EPlatformError);
}

TEST(DomSerialize, DoctypeIsWrittenBack) {
  Document d = Document::Create();
  ASSERT_TRUE(d.loadXML(u"<!DOCTYPE r [<!ENTITY e \"v\">]><r>&e;</r>"));
  EXPECT_EQ(d.xml(), u"<!DOCTYPE r [<!ENTITY e \"v\">]>\r\n<r>v</r>\r\n");
  EXPECT_EQ(d.firstChild().nodeType(), NODE_DOCUMENT_TYPE);
}

}  // namespace

namespace {

TEST(DomSerialize, ChildMarkupDeclaresNamespacesFromAncestors) {
  Node r = Root(
      u"<r xmlns=\"urn:d\" xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"><p:a q:x=\"1\" "
      u"y=\"2\"><b/><p:c/></p:a></r>");
  Node a = r.firstChild();
  EXPECT_EQ(a.xml(),
            u"<p:a xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" q:x=\"1\" y=\"2\"><b "
            u"xmlns=\"urn:d\"/><p:c/></p:a>");
  // The whole root needs nothing added.
  EXPECT_EQ(r.xml(),
            u"<r xmlns=\"urn:d\" xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"><p:a q:x=\"1\" "
            u"y=\"2\"><b/><p:c/></p:a></r>");
  // The child's markup parses on its own with the same names.
  Node again = Root(a.xml());
  EXPECT_EQ(again.namespaceURI(), u"urn:p");
  EXPECT_EQ(again.firstChild().namespaceURI(), u"urn:d");
  // A removed node still writes what it relies on; created elements and undeclared
  // attribute prefixes get nothing added.
  Node b = a.firstChild();
  a.removeChild(b);
  EXPECT_EQ(b.xml(), u"<b xmlns=\"urn:d\"/>");
  Node u = Root(u"<r z:a=\"1\"/>");
  EXPECT_EQ(u.xml(), u"<r z:a=\"1\"/>");
}

}  // namespace
