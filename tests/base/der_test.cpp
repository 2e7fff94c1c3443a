// The DER reader: definite and indefinite lengths, high tag numbers, and every way input
// can end too early or nest too deep reported, never read past.
#include "base/der.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Lumo::Base::DerClass;
using Lumo::Base::DerElement;
using Lumo::Base::DerReader;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s += static_cast<char>(c);
  return s;
}

TEST(DerReader, ReadsElementsOneAfterTheOther) {
  struct Case {
    const char* label;
    std::string bytes;
    int count;            // elements read at the top level
    std::string content;  // of the first one
    const char* error;    // empty: none
  };
  const Case cases[] = {
      {"two primitives", Bytes({0x02, 0x01, 0x05, 0x04, 0x00}), 2, "\x05", ""},
      {"long form length", Bytes({0x04, 0x81, 0x02, 'a', 'b'}), 1, "ab", ""},
      {"indefinite", Bytes({0x30, 0x80, 0x02, 0x01, 0x07, 0x00, 0x00, 0x05, 0x00}), 2,
       Bytes({0x02, 0x01, 0x07}), ""},
      {"nested indefinite", Bytes({0x30, 0x80, 0x30, 0x80, 0x00, 0x00, 0x00, 0x00}), 1,
       Bytes({0x30, 0x80, 0x00, 0x00}), ""},
      {"high tag number", Bytes({0x9F, 0x81, 0x01, 0x01, 0x09}), 1, "\x09", ""},
      {"content past the end", Bytes({0x04, 0x05, 'a'}), 0, "", "content runs past the end"},
      {"length cut short", Bytes({0x04, 0x82, 0x01}), 0, "", "length cut short"},
      {"length missing", Bytes({0x04}), 0, "", "length missing"},
      {"five length bytes", Bytes({0x04, 0x85, 0, 0, 0, 0, 1, 'a'}), 0, "", "length too long"},
      {"tag number cut short", Bytes({0x1F, 0x81}), 0, "", "tag number too long or cut short"},
      {"indefinite primitive", Bytes({0x04, 0x80, 0x00, 0x00}), 0, "",
       "indefinite length of a primitive element"},
      {"no end-of-contents", Bytes({0x30, 0x80, 0x02, 0x01, 0x07}), 0, "",
       "end-of-contents missing"},
  };
  for (const Case& c : cases) {
    DerReader r(c.bytes);
    DerElement e, first;
    int count = 0;
    while (r.Next(e))
      if (count++ == 0) first = e;
    EXPECT_EQ(count, c.count) << c.label;
    EXPECT_EQ(r.Error(), c.error) << c.label;
    if (count) EXPECT_EQ(first.content, c.content) << c.label;
  }
}

TEST(DerReader, TagsAndNesting) {
  const std::string bytes = Bytes({0xA0, 0x03, 0x02, 0x01, 0x2A, 0x9F, 0x81, 0x01, 0x00});
  DerReader r(bytes);
  DerElement e;
  EXPECT_FALSE(r.NextIf(DerClass::Universal, 16, e));  // not a SEQUENCE: nothing read
  ASSERT_TRUE(r.NextIf(DerClass::Context, 0, e));
  EXPECT_TRUE(e.constructed);
  EXPECT_EQ(e.whole.size(), 5u);
  DerReader inside = r.Inside(e);
  DerElement integer;
  ASSERT_TRUE(inside.Next(integer));
  EXPECT_TRUE(integer.IsUniversal(2));
  ASSERT_TRUE(r.Next(e));
  EXPECT_TRUE(e.IsContext(129));
  EXPECT_TRUE(r.AtEnd());
  EXPECT_FALSE(r.Failed());
}

TEST(DerReader, NestingIsLimited) {
  // Indefinite lengths nested one level deeper than allowed, and just as deep as allowed.
  for (int depth : {DerReader::kMaxDepth, DerReader::kMaxDepth + 1}) {
    std::string bytes;
    for (int i = 0; i < depth; ++i) bytes += Bytes({0x30, 0x80});
    for (int i = 0; i < depth; ++i) bytes += Bytes({0x00, 0x00});
    DerReader r(bytes);
    DerElement e;
    EXPECT_EQ(r.Next(e), depth == DerReader::kMaxDepth) << depth;
    if (depth > DerReader::kMaxDepth) EXPECT_EQ(r.Error(), "nested too deep");
  }
}

TEST(DerReader, OidText) {
  EXPECT_EQ(Lumo::Base::DerOidText(Bytes({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02})),
            "1.2.840.113549.1.7.2");
  EXPECT_EQ(Lumo::Base::DerOidText(Bytes({0x55, 0x04, 0x03})), "2.5.4.3");
  EXPECT_EQ(Lumo::Base::DerOidText(Bytes({0x88, 0x37})), "2.999");
  EXPECT_EQ(Lumo::Base::DerOidText(Bytes({0x2A, 0x86})), "");        // cut short
  EXPECT_EQ(Lumo::Base::DerOidText(Bytes({0x2A, 0x80, 0x01})), "");  // leading zero group
}

}  // namespace
