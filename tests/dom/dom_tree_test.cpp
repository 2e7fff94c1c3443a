// Names and namespaces, tree edits, adoption across documents, failures, handles.
#include <gtest/gtest.h>

#include "base/errors.h"
#include "dom/dom.h"

using namespace Lumo::Base;
using namespace Lumo::Dom;

namespace {

Node Root(WideView text) {
  Document d = Document::Create();
  EXPECT_TRUE(d.loadXML(text));
  return d.documentElement();
}

TEST(DomNames, ElementAndAttributeProperties) {
  Node r = Root(u"<p:r xmlns:p=\"urn:p\" xmlns=\"urn:d\" p:x=\"1\" y=\"2\"><c/></p:r>");
  EXPECT_EQ(r.nodeName(), u"p:r");
  EXPECT_EQ(r.prefix(), u"p");
  EXPECT_EQ(r.baseName(), u"r");
  EXPECT_EQ(r.namespaceURI(), u"urn:p");
  EXPECT_EQ(r.firstChild().namespaceURI(), u"urn:d");
  EXPECT_EQ(r.firstChild().prefix(), u"");
  NamedNodeMap a = r.attributes();
  ASSERT_EQ(a.length(), 4);
  Node decl = a.item(0), def = a.item(1), px = a.item(2), y = a.item(3);
  EXPECT_EQ(decl.nodeName(), u"xmlns:p");
  EXPECT_EQ(decl.prefix(), u"xmlns");
  EXPECT_EQ(decl.baseName(), u"p");
  EXPECT_EQ(decl.namespaceURI(), u"");
  EXPECT_EQ(def.nodeName(), u"xmlns");
  EXPECT_EQ(def.prefix(), u"xmlns");
  EXPECT_EQ(def.baseName(), u"");
  EXPECT_EQ(def.namespaceURI(), u"");
  EXPECT_EQ(px.prefix(), u"p");
  EXPECT_EQ(px.baseName(), u"x");
  EXPECT_EQ(px.namespaceURI(), u"urn:p");
  EXPECT_EQ(px.nodeType(), NODE_ATTRIBUTE);
  EXPECT_EQ(y.namespaceURI(), u"");
  EXPECT_FALSE(px.parentNode());
}

TEST(DomNames, UndeclaredAttributePrefixHasNoNamespace) {
  Node r = Root(u"<r q:a=\"1\"/>");
  EXPECT_EQ(r.attributes().item(0).namespaceURI(), u"");
  EXPECT_EQ(r.attributes().item(0).prefix(), u"q");
  Document d = Document::Create();
  EXPECT_FALSE(d.loadXML(u"<q:r/>"));
  EXPECT_EQ(d.parseError().errorCode, static_cast<int32_t>(0xC00CE01D));
}

TEST(DomNames, NamespaceFixedAtParseTime) {
  Node r = Root(u"<r xmlns=\"urn:a\"><c/></r>");
  Node c = r.firstChild();
  r.setAttribute(u"xmlns", u"urn:b");
  EXPECT_EQ(c.namespaceURI(), u"urn:a");
}

TEST(DomNames, RemoveQualifiedItem) {
  Node r = Root(
      u"<r xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"x\" "
      u"b=\"1\"/>");
  NamedNodeMap m = r.attributes();
  Node gone =
      m.removeQualifiedItem(u"schemaLocation", u"http://www.w3.org/2001/XMLSchema-instance");
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone.nodeValue(), u"x");
  EXPECT_EQ(m.length(), 2);
  EXPECT_FALSE(m.removeQualifiedItem(u"b", u"urn:none"));
  EXPECT_EQ(r.xml(), u"<r xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" b=\"1\"/>");
}

TEST(DomTree, TextReadAndWrite) {
  Node r = Root(u"<r> a <b>x<![CDATA[ y ]]></b> <!--no--> </r>");
  EXPECT_EQ(r.text(), u"a x y");
  r.setText(u"new & <text>");
  EXPECT_EQ(r.xml(), u"<r>new &amp; &lt;text&gt;</r>");
  EXPECT_EQ(r.childNodes().length(), 1);
  // One character per byte, widened into the document.
  r.setTextLatin1("QUJD+/=\xE9");
  EXPECT_EQ(r.xml(), u"<r>QUJD+/=\u00E9</r>");
  std::string big(100000, 'Q');
  r.firstChild().setTextLatin1(big);
  EXPECT_EQ(r.text(), WideString(100000, u'Q'));
  r.setTextLatin1("");
  EXPECT_FALSE(r.hasChildNodes());
}

TEST(DomTree, InsertMoveRemoveReplace) {
  Node r = Root(u"<r><a/><b/><c/></r>");
  Node a = r.firstChild(), b = a.nextSibling(), c = b.nextSibling();
  r.appendChild(a);  // moves
  EXPECT_EQ(r.xml(), u"<r><b/><c/><a/></r>");
  r.insertBefore(a, r.firstChild());
  EXPECT_EQ(r.xml(), u"<r><a/><b/><c/></r>");
  EXPECT_EQ(r.removeChild(b), b);
  EXPECT_FALSE(b.parentNode());
  EXPECT_EQ(r.xml(), u"<r><a/><c/></r>");
  EXPECT_EQ(r.replaceChild(b, c), c);
  EXPECT_EQ(r.xml(), u"<r><a/><b/></r>");
  EXPECT_EQ(c.xml(), u"<c/>");
  EXPECT_EQ(r.lastChild(), b);
  EXPECT_EQ(b.previousSibling(), a);
  EXPECT_TRUE(c.ownerDocument());
  EXPECT_EQ(c.ownerDocument(), r.ownerDocument());
}

TEST(DomTree, FailuresRaisePlatformErrors) {
  Node r = Root(u"<r><a><b/></a></r>");
  Node a = r.firstChild();
  Node b = a.firstChild();
  EXPECT_THROW(b.appendChild(r), EPlatformError);                  // cycle
  EXPECT_THROW(a.appendChild(a), EPlatformError);                  // itself
  EXPECT_THROW(r.removeChild(b), EPlatformError);                  // not a child
  EXPECT_THROW(r.insertBefore(Root(u"<x/>"), b), EPlatformError);  // ref not a child
  EXPECT_THROW(r.appendChild(r.ownerDocument()), EPlatformError);  // a document
  EXPECT_THROW(r.appendChild(r.attributes().item(0)), EPlatformError);
  Node text = Root(u"<t>x</t>").firstChild();
  EXPECT_THROW(text.appendChild(Root(u"<y/>")), EPlatformError);  // wrong kind
  EXPECT_THROW(text.setAttribute(u"a", u"b"), EPlatformError);
  try {
    b.appendChild(r);
  } catch (const EPlatformError& e) {
    EXPECT_LT(e.ErrorCode, 0);
  }
  EXPECT_EQ(r.xml(), u"<r><a><b/></a></r>");
}

TEST(DomTree, AdoptsNodesOfAnotherDocument) {
  Node root = Root(u"<r><a/><b/></r>");
  Node a = root.firstChild();
  {
    Node signedCopy = Root(u"<a><s>sig</s></a>");
    root.replaceChild(signedCopy, a);
    EXPECT_EQ(root.firstChild(), signedCopy);  // identity preserved
    EXPECT_EQ(signedCopy.ownerDocument(), root.ownerDocument());
  }
  // The source document is gone as a handle; its nodes live on inside root's document.
  EXPECT_EQ(root.xml(), u"<r><a><s>sig</s></a><b/></r>");
  Document other = Document::Create();
  Node moved = other.createElement(u"m");
  root.insertBefore(moved, root.firstChild());
  other = Document();
  EXPECT_EQ(root.xml(), u"<r><m/><a><s>sig</s></a><b/></r>");
}

TEST(DomTree, NodeKeepsDocumentAlive) {
  Node child;
  {
    Node root = Root(u"<r><a x=\"1\">t</a></r>");
    child = root.firstChild();
  }
  EXPECT_EQ(child.xml(), u"<a x=\"1\">t</a>");
  EXPECT_EQ(child.parentNode().nodeName(), u"r");
  EXPECT_EQ(child.ownerDocument().documentElement().nodeName(), u"r");
}

TEST(DomTree, RemovedNodeStaysValid) {
  Node root = Root(u"<r><a>t</a></r>");
  Node a = root.removeChild(root.firstChild());
  root = Node();
  EXPECT_EQ(a.xml(), u"<a>t</a>");
  EXPECT_FALSE(a.parentNode());
}

TEST(DomTree, NormalizeMergesAdjacentText) {
  Node r = Root(u"<r>a<!--x-->b<c>d</c></r>");
  r.removeChild(r.childNodes().item(1));
  EXPECT_EQ(r.childNodes().length(), 3);
  r.normalize();
  EXPECT_EQ(r.childNodes().length(), 2);
  EXPECT_EQ(r.firstChild().nodeValue(), u"ab");
}

TEST(DomTree, ChildListAndQueries) {
  Node r = Root(u"<r>x<a/><!--c--></r>");
  NodeList l = r.childNodes();
  ASSERT_EQ(l.length(), 3);
  EXPECT_TRUE(l.item(0).isText());
  EXPECT_TRUE(l.item(1).isElement());
  EXPECT_FALSE(l.item(2).isText());
  EXPECT_FALSE(l.item(3));
  EXPECT_FALSE(l.item(-1));
  EXPECT_TRUE(r.hasChildNodes());
  EXPECT_FALSE(l.item(1).hasChildNodes());
  EXPECT_FALSE(r.ownerDocument().ownerDocument());
  EXPECT_EQ(r.parentNode().nodeType(), NODE_DOCUMENT);
}

TEST(DomTree, SetAttributeDeclarationAndInvalidName) {
  Document d = Document::Create();
  Node e = d.createElement(u"p:name");
  e.setAttribute(u"xmlns:p", u"urn:x");
  EXPECT_EQ(e.xml(), u"<p:name xmlns:p=\"urn:x\"/>");
  EXPECT_EQ(e.namespaceURI(), u"");
  EXPECT_THROW(e.setAttribute(u"1bad", u"v"), EPlatformError);
  EXPECT_THROW(d.createElement(u""), EPlatformError);
}

TEST(DomTree, SetAttributeFromCopiesNameAndValue) {
  Node r = Root(u"<r xmlns:p=\"urn:p\" p:a=\"1 &amp; 2\" b=\"x\"/>");
  Document d = r.ownerDocument();
  Node copy = d.createElement(u"c");
  NamedNodeMap from = r.attributes();
  for (int32_t i = 0; i < from.length(); ++i) copy.setAttributeFrom(NodeView(from.item(i)));
  EXPECT_EQ(copy.xml(), u"<c xmlns:p=\"urn:p\" p:a=\"1 &amp; 2\" b=\"x\"/>");
  // Changing the source afterwards leaves the copy as it was, and the other way round.
  r.setAttribute(u"b", u"changed");
  copy.setAttribute(u"p:a", u"other");
  EXPECT_EQ(copy.getAttribute(u"b"), u"x");
  EXPECT_EQ(r.getAttribute(u"p:a"), u"1 & 2");
  // An existing attribute of that name takes the value; no second attribute appears.
  copy.setAttributeFrom(NodeView(r.attributes().getNamedItem(u"b")));
  EXPECT_EQ(copy.getAttribute(u"b"), u"changed");
  EXPECT_EQ(copy.attributes().length(), 3);
  // From another document: copied.
  Node other = Root(u"<o z=\"9\"/>");
  copy.setAttributeFrom(NodeView(other.attributes().item(0)));
  other = Node();
  EXPECT_EQ(copy.getAttribute(u"z"), u"9");
  EXPECT_THROW(copy.setAttributeFrom(NodeView(r)), EPlatformError);
  EXPECT_THROW(copy.setAttributeFrom(NodeView()), EPlatformError);
  EXPECT_THROW(r.firstChild().setAttributeFrom(NodeView(copy.attributes().item(0))),
               EPlatformError);
}

}  // namespace

namespace {

TEST(DomTree, AppendChildrenOfMovesEveryChildInOrder) {
  Node r = Root(u"<r><a>x<b/>y<!--c--></a><t/></r>");
  Node a = r.firstChild();
  Node t = a.nextSibling();
  t.appendChildrenOf(a);
  EXPECT_EQ(r.xml(), u"<r><a/><t>x<b/>y<!--c--></t></r>");
  t.appendChildrenOf(a);  // nothing left to move
  EXPECT_EQ(t.childNodes().length(), 4);
  t.appendChildrenOf(t);  // its own children: already in place
  EXPECT_EQ(r.xml(), u"<r><a/><t>x<b/>y<!--c--></t></r>");
  // Children of another document are adopted, as appendChild adopts them.
  Node other = Root(u"<o><p/>q</o>");
  t.appendChildrenOf(other);
  other = Node();
  EXPECT_EQ(t.xml(), u"<t>x<b/>y<!--c--><p/>q</t>");
  EXPECT_EQ(t.lastChild().previousSibling().parentNode(), t);
  // Into the source's own subtree: appendChild's failure, after the children before it moved.
  Node s = Root(u"<s>1<in/>2</s>");
  Node in = s.firstChild().nextSibling();
  EXPECT_THROW(in.appendChildrenOf(s), EPlatformError);
  EXPECT_EQ(s.xml(), u"<s><in>1</in>2</s>");
}

TEST(DomTree, ViewsAnswerAsHandlesDo) {
  Node r = Root(u"<r xmlns:p=\"urn:p\" p:a=\"1\" b=\"2\">t<p:c/></r>");
  NodeView v(r);
  EXPECT_TRUE(v.isElement());
  EXPECT_EQ(v.nameView(), u"r");
  EXPECT_EQ(v.parentNode().nodeType(), NODE_DOCUMENT);
  NodeView text = v.firstChild();
  EXPECT_TRUE(text.isText());
  EXPECT_EQ(text.valueView(), u"t");
  EXPECT_EQ(text.nextSibling().namespaceView(), u"urn:p");
  EXPECT_FALSE(text.nextSibling().nextSibling());
  NamedNodeMap map = r.attributes();
  int32_t i = 0;
  for (NodeView a = v.firstAttribute(); a; a = a.nextAttribute(), ++i) {
    EXPECT_EQ(a.nameView(), map.item(i).nameView());
    EXPECT_FALSE(a.nextSibling());
    EXPECT_FALSE(a.parentNode());
  }
  EXPECT_EQ(i, map.length());
  EXPECT_EQ(v.attributeNamed(u"p:a").namespaceView(), u"urn:p");
  EXPECT_FALSE(v.attributeNamed(u"a"));
  EXPECT_FALSE(text.firstAttribute());
  EXPECT_EQ(v.firstChild().node(), r.firstChild());
  WideString xml;
  v.appendXml(xml);
  EXPECT_EQ(xml, r.xml());
}

}  // namespace
