// The action table: its look-ups, and the published mirrors that no compiler sees on this
// platform (the Python enum, the type library's IDL) held against it.
#include "base/actions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace {

using Lumo::Base::ActionOf;
using Lumo::Base::FindAction;

TEST(Actions, CodesAreReadByTheirLowEightBits) {
  const struct {
    int32_t code;
    const char* command;  // null: no action
  } cases[] = {
      {1, "childs"}, {2, "root"},   {6, "base64-envelope"}, {258, "root"}, {0x7FFFFF05, "extract"},
      {0, nullptr},  {99, nullptr}, {256, nullptr},         {-1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const Lumo::Base::ActionRow* row = FindAction(c.code);
    if (c.command == nullptr) {
      EXPECT_EQ(row, nullptr);
      // What the automation objects do with such a code: parse under a key, no envelope.
      EXPECT_EQ(&ActionOf(c.code), &Lumo::Base::kUnknownAction);
      EXPECT_TRUE(ActionOf(c.code).needsKey);
      EXPECT_FALSE(ActionOf(c.code).readsEnvelope);
    } else {
      ASSERT_NE(row, nullptr);
      EXPECT_EQ(row->command, c.command);
      EXPECT_EQ(Lumo::Base::FindActionCommand(c.command), row);
    }
  }
  // The first code after the last row names nothing.
  EXPECT_EQ(FindAction(static_cast<int32_t>(Lumo::Base::kActionCount) + 1), nullptr);
}

// The messages that list the actions keep their published wording: "N name" in code
// order, the last one after `last`; spaced, a command's hyphens are spaces.
TEST(Actions, CodeListsForMessages) {
  const std::string listed = Lumo::Base::ActionCodeList(" or ", false);
  const std::string spaced = Lumo::Base::ActionCodeList(", ", true);
  EXPECT_TRUE(listed.starts_with("1 childs, 2 root, 3 envelope, 4 verify, 5 extract")) << listed;
  EXPECT_TRUE(
      spaced.starts_with("1 childs, 2 root, 3 envelope, 4 verify, 5 extract, 6 base64 envelope"))
      << spaced;
  const Lumo::Base::ActionRow& last = Lumo::Base::kActions[Lumo::Base::kActionCount - 1];
  EXPECT_TRUE(
      listed.ends_with(" or " + std::to_string(last.code) + " " + std::string(last.command)))
      << listed;
  // The same list both ways, once spaces and hyphens are set aside.
  std::string expected = listed;
  expected.replace(expected.rfind(" or "), 4, ", ");
  std::string unspaced = spaced;
  for (std::string* text : {&expected, &unspaced})
    std::replace(text->begin(), text->end(), ' ', '-');
  EXPECT_EQ(unspaced, expected);
  EXPECT_EQ(Lumo::Base::FindActionCommand("base64 envelope"), nullptr);
}

std::string SourceText(const std::string& path) {
  std::ifstream in(std::string(LUMO_SOURCE_DIR) + "/" + path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every published copy of the action codes has exactly the table's names and codes.
TEST(Actions, PublishedMirrorsAgreeWithTheTable) {
  std::map<std::string, int> byName, byCName;
#define LUMO_ACTION_NAMES(name, cName, code) \
  byName[#name] = code;                      \
  byCName[#cName] = code;
  LUMO_ACTIONS(LUMO_ACTION_NAMES)
#undef LUMO_ACTION_NAMES
  const struct {
    const char* file;
    const char* block;  // the enumeration's body: from its head to its end
    const char* member;
    const std::map<std::string, int>& expected;
  } mirrors[] = {
      {"python/lumodez/__init__.py", R"(class Action\(enum\.IntEnum\):[\s\S]*?(?=\n\n\n|\nclass ))",
       R"(\n    ([A-Z0-9_]+) = (\d+))", byCName},
      {"automation/com/LumoDEZLib.idl", R"(enum SignAction \{[^}]*\})", R"((\w+) = (\d+))", byName},
  };
  for (const auto& m : mirrors) {
    SCOPED_TRACE(m.file);
    const std::string text = SourceText(m.file);
    std::smatch block;
    ASSERT_TRUE(std::regex_search(text, block, std::regex(m.block)));
    const std::string body = block.str();
    std::map<std::string, int> found;
    const std::regex member(m.member);
    for (auto it = std::sregex_iterator(body.begin(), body.end(), member);
         it != std::sregex_iterator(); ++it)
      found[(*it)[1]] = std::stoi((*it)[2]);
    EXPECT_EQ(found, m.expected);
  }
}

}  // namespace
