// Deep copies into another document: the same tree as adoption gives, without the source.
#include <gtest/gtest.h>

#include <string>

#include "base/errors.h"
#include "dom/dom.h"

using namespace Lumo::Base;
using namespace Lumo::Dom;

namespace {

Node Root(WideView text) {
  Document d = Document::Create();
  EXPECT_TRUE(d.loadXML(text)) << std::string(text.begin(), text.end());
  return d.documentElement();
}

// Every name, namespace, value and flag that the serialiser and the readers see.
void ExpectSameTree(const Node& a, const Node& b) {
  ASSERT_EQ(a.nodeType(), b.nodeType());
  EXPECT_EQ(a.nodeName(), b.nodeName());
  EXPECT_EQ(a.nodeValue(), b.nodeValue());
  EXPECT_EQ(a.namespaceURI(), b.namespaceURI());
  EXPECT_EQ(a.prefix(), b.prefix());
  EXPECT_EQ(a.baseName(), b.baseName());
  EXPECT_EQ(NodeView(a).whiteSpaceBefore(), NodeView(b).whiteSpaceBefore());
  EXPECT_EQ(NodeView(a).whiteSpaceBeforeEnd(), NodeView(b).whiteSpaceBeforeEnd());
  EXPECT_EQ(NodeView(a).hasNamespaceBinding(), NodeView(b).hasNamespaceBinding());
  NamedNodeMap am = a.attributes(), bm = b.attributes();
  ASSERT_EQ(am.length(), bm.length());
  for (int32_t i = 0; i < am.length(); ++i) ExpectSameTree(am.item(i), bm.item(i));
  Node ac = a.firstChild(), bc = b.firstChild();
  for (; ac && bc; ac = ac.nextSibling(), bc = bc.nextSibling()) ExpectSameTree(ac, bc);
  EXPECT_EQ(static_cast<bool>(ac), static_cast<bool>(bc));
}

TEST(DomCopy, CopyInsertedReadsAsTheAdoptedOriginal) {
  const char16_t* sources[] = {
      u"<m/>",
      (u"<p:m xmlns:p=\"urn:p\" p:a=\"1\" b=\"&lt;&amp;\"><p:c>t</p:c><d "
       u"xmlns=\"urn:d\"><e/></d></p:m>"),
      u"<m>\r\n  <a>x</a>\r\n  <b><![CDATA[<raw>]]></b><!-- note --><?pi data?>\r\n</m>",
      u"<m xml:lang=\"ru\">\u0442\u0435\u043a\u0441\u0442 \U0001F600</m>",
      u"<q:m xmlns:q=\"urn:q\"><q:x q:y=\"\"/></q:m>",
  };
  for (const char16_t* text : sources) {
    SCOPED_TRACE(std::string(text, text + std::char_traits<char16_t>::length(text)));
    // Target with the source placed two levels deep, where indentation shows.
    const char16_t* host = u"<h xmlns:p=\"urn:other\">\r\n <g>\r\n  <old/>\r\n </g>\r\n</h>";
    Node viaCopy = Root(host), viaAdoption = Root(host);
    Node copy = Root(text).copyInto(viaCopy);
    Node gc = viaCopy.firstChild();
    gc.replaceChild(copy, gc.firstChild());
    Node ga = viaAdoption.firstChild();
    ga.replaceChild(Root(text), ga.firstChild());
    EXPECT_EQ(viaCopy.xml(), viaAdoption.xml());
    ExpectSameTree(viaCopy, viaAdoption);
    EXPECT_EQ(copy.ownerDocument(), viaCopy.ownerDocument());
  }
}

TEST(DomCopy, CopyIsDetachedAndIndependentOfTheSource) {
  Node source = Root(u"<m a=\"1\"><c>t</c></m>");
  Node target = Root(u"<t/>");
  Node copy = source.firstChild().copyInto(target);
  EXPECT_FALSE(copy.parentNode());
  EXPECT_EQ(copy.ownerDocument(), target.ownerDocument());
  source.firstChild().setText(u"changed");
  source.setAttribute(u"a", u"2");
  source = Node();  // the source document goes; the copy must not depend on it
  target.appendChild(copy);
  EXPECT_EQ(target.xml(), u"<t><c>t</c></t>");
}

TEST(DomCopy, DeepNestingAndRefusedKinds) {
  std::u16string deep;
  for (int i = 0; i < 9000; ++i) deep += u"<a>";
  for (int i = 0; i < 9000; ++i) deep += u"</a>";
  Node source = Root(deep);
  Node target = Root(u"<t/>");
  target.appendChild(source.copyInto(target));
  EXPECT_EQ(target.firstChild().xml(), source.xml());
  EXPECT_THROW(source.ownerDocument().copyInto(target), EPlatformError);
  EXPECT_THROW(Node().copyInto(target), EPlatformError);
  EXPECT_THROW(source.copyInto(Node()), EPlatformError);
}

}  // namespace
