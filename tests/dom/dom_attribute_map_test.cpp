// The attribute map remembers its last position and count; those must follow every
// change of the element's attribute list, through this map or any other handle.
#include <gtest/gtest.h>

#include <string>

#include "dom/dom.h"
#include "dom/xml_helpers.h"

namespace {

using Lumo::Dom::NamedNodeMap;
using Lumo::Dom::Node;

std::u16string Names(const NamedNodeMap& map) {
  std::u16string out;
  for (int32_t i = 0; i < map.length(); ++i) out += map.item(i).nodeName() + u" ";
  return out;
}

TEST(AttributeMap, PositionsAndCountFollowEdits) {
  Node root = Lumo::Dom::LoadXmlString(u"<r a=\"1\" b=\"2\" c=\"3\" d=\"4\"/>");
  NamedNodeMap map = root.attributes();
  EXPECT_EQ(map.item(2).nodeName(), u"c");  // remembered position: index 2
  EXPECT_EQ(map.length(), 4);

  // Removed through the map itself, then through a second map of the same element.
  EXPECT_TRUE(map.removeQualifiedItem(u"b", u""));
  EXPECT_EQ(map.length(), 3);
  EXPECT_EQ(map.item(2).nodeName(), u"d");
  EXPECT_TRUE(root.attributes().removeQualifiedItem(u"a", u""));
  EXPECT_EQ(map.length(), 2);
  EXPECT_EQ(map.item(0).nodeName(), u"c");
  EXPECT_EQ(map.item(2), Node());

  // Added through the element; replacing a value keeps the list as it is.
  root.setAttribute(u"e", u"5");
  root.setAttribute(u"c", u"33");
  EXPECT_EQ(Names(map), u"c d e ");
  EXPECT_EQ(map.item(0).nodeValue(), u"33");
  EXPECT_EQ(root.xml(), u"<r c=\"33\" d=\"4\" e=\"5\"/>");
}

TEST(AttributeMap, ManyAttributesCopiedOntoANewElementKeepOrderAndValues) {
  std::u16string text = u"<r";
  for (int i = 0; i < 3000; ++i) {
    std::string n = std::to_string(i);
    text += u" a" + std::u16string(n.begin(), n.end()) + u"=\"" +
            std::u16string(n.begin(), n.end()) + u"\"";
  }
  text += u"/>";
  Node root = Lumo::Dom::LoadXmlString(text);
  Node copy = root.ownerDocument().createElement(u"r");
  NamedNodeMap from = root.attributes();
  for (int32_t i = 0; i < from.length(); ++i)
    copy.setAttribute(from.item(i).nodeName(), from.item(i).nodeValue());
  // Setting an existing name again replaces its value in place.
  copy.setAttribute(u"a0", u"first");
  EXPECT_EQ(copy.attributes().length(), 3000);
  EXPECT_EQ(copy.attributes().item(0).nodeValue(), u"first");
  EXPECT_EQ(copy.attributes().item(2999).nodeName(), u"a2999");
  EXPECT_EQ(copy.getAttribute(u"a1234"), u"1234");

  // A removal between two settings must not leave a stale lookup behind.
  EXPECT_TRUE(copy.attributes().removeQualifiedItem(u"a2999", u""));
  copy.setAttribute(u"a2999", u"back");
  copy.setAttribute(u"a5", u"five");
  EXPECT_EQ(copy.attributes().length(), 3000);
  EXPECT_EQ(copy.attributes().item(2999).nodeValue(), u"back");
  EXPECT_EQ(copy.getAttribute(u"a5"), u"five");
  EXPECT_EQ(copy.attributes().item(5).nodeValue(), u"five");
}

TEST(AttributeMap, AdoptedElementsMatchNamesAcrossDocuments) {
  Node a = Lumo::Dom::LoadXmlString(u"<a x=\"1\" y=\"2\"/>");
  Node b = Lumo::Dom::LoadXmlString(u"<b/>");
  b.appendChild(a);  // a now lives in b's document, its names still in its first one
  a.setAttribute(u"y", u"20");
  a.setAttribute(u"z", u"3");
  EXPECT_EQ(a.xml(), u"<a x=\"1\" y=\"20\" z=\"3\"/>");
  EXPECT_EQ(a.attributes().length(), 3);
}

}  // namespace
