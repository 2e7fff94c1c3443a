// Where what a check finds stands in the source: markup items counted as the tree counts
// them, through quoted '>', internal subsets, comments and CDATA, in UTF-8 and UTF-16.
#include "sign/signed_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Utf16Le(const std::string& ascii, bool bom) {
  std::string out = bom ? std::string("\xFF\xFE", 2) : std::string();
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

TEST(SourceLineOfItem, CountsItemsAsTheTreeDoes) {
  const std::string source =
      "<?xml version=\"1.0\"?>\n"                                 // not an item
      "<!DOCTYPE r [<!ATTLIST r a CDATA \"x>\"> <!-- ]> -->]>\n"  // 1
      "<?pi data?>\n"                                             // 2
      "<r a='>'\n"                                                // 3
      "   b=\"1\"><![CDATA[<fake/>]]>\r\n"                        //
      "<c/><!-- c -->\r"                                          // 4, 5
      "<d\n x=\"1\"/></r>";                                       // 6
  struct Case {
    uint32_t item;
    const char16_t* attribute;
    int32_t line;
  };
  // Item 3 asked for "r", its own name: no attribute of that name, the tag's line.
  const Case kCases[] = {
      {1, u"", 2}, {2, u"", 3}, {3, u"", 4},  {3, u"b", 5}, {3, u"r", 4}, {4, u"", 6},
      {5, u"", 6}, {6, u"", 7}, {6, u"x", 8}, {7, u"", 0},  {0, u"", 0},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(Lumo::Sign::SourceLineOfItem(source, c.item, c.attribute), c.line)
        << "item " << c.item;
    // The same source in UTF-16, with and without its byte order mark.
    EXPECT_EQ(Lumo::Sign::SourceLineOfItem(Utf16Le(source, true), c.item, c.attribute), c.line);
    EXPECT_EQ(Lumo::Sign::SourceLineOfItem(Utf16Le(source, false), c.item, c.attribute), c.line);
  }
}

}  // namespace
