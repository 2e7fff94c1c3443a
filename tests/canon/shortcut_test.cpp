// The one list of shortcuts against canon/README.md's table, and the helper every shortcut
// is taken through: the reference switch keeps the fast way from running, an answer is
// counted and, in checking builds, set against the reference way.
#include "canon/shortcut.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Lumo::Canon::Shortcut;
namespace Shortcuts = Lumo::Canon::Shortcuts;

// The first cell of every row of the README's table of shortcuts (the section headed
// "## The shortcuts", up to the next heading or paragraph).
std::set<std::string> ReadmeShortcuts() {
  std::ifstream in(std::string(LUMO_SOURCE_DIR) + "/canon/README.md");
  std::set<std::string> names;
  std::string line;
  bool inSection = false, inTable = false;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) inSection = line.rfind("## The shortcuts", 0) == 0;
    if (!inSection) continue;
    if (line.rfind("| Shortcut |", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable || line.rfind("|---", 0) == 0) continue;
    if (line.rfind("| ", 0) != 0) break;
    const size_t end = line.find(" |", 2);
    names.insert(line.substr(2, end - 2));
  }
  return names;
}

TEST(ShortcutList, IsTheReadmeTable) {
  const std::set<std::string> readme = ReadmeShortcuts();
  ASSERT_FALSE(readme.empty()) << "no table of shortcuts in canon/README.md";
  std::set<std::string> listed;
  for (std::string_view name : Shortcuts::kNames) {
    EXPECT_TRUE(listed.insert(std::string(name)).second) << "listed twice: " << name;
    EXPECT_TRUE(readme.count(std::string(name))) << "missing from canon/README.md: " << name;
  }
  for (const std::string& name : readme)
    EXPECT_TRUE(listed.count(name))
        << "in canon/README.md but not in LUMO_CANON_SHORTCUTS: " << name;
}

// Every source file of the library's layers, read whole, by its path from the source root.
std::vector<std::pair<std::string, std::string>> LibrarySources() {
  std::vector<std::pair<std::string, std::string>> files;
  const std::filesystem::path root(LUMO_SOURCE_DIR);
  for (const char* layer :
       {"base", "dom", "canon", "sign", "provider", "automation", "capi", "tools"}) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(root / layer)) {
      const std::string ext = e.path().extension().string();
      if (ext != ".cpp" && ext != ".h") continue;
      std::ifstream in(e.path());
      std::stringstream text;
      text << in.rdbuf();
      files.emplace_back(std::filesystem::relative(e.path(), root).string(), text.str());
    }
  }
  return files;
}

TEST(ShortcutList, EveryShortcutIsWiredAndNothingBypassesTheHelper) {
  const auto files = LibrarySources();
  ASSERT_FALSE(files.empty());
  std::set<std::string> used;
  for (const auto& [path, text] : files) {
    const bool helper = path.rfind("canon/shortcut.", 0) == 0 || path.rfind("canon/check.", 0) == 0;
    if (!helper) {
      // The check and the switch are the helper's alone.
      EXPECT_EQ(text.find("Check::Agrees("), std::string::npos) << path;
      EXPECT_EQ(text.find("ReferenceForced("), std::string::npos) << path;
      EXPECT_EQ(text.find("LUMO_CANON_REFERENCE"), std::string::npos) << path;
    }
    for (std::string_view id : Shortcuts::kIds)
      if (text.find("Shortcut::" + std::string(id)) != std::string::npos)
        used.insert(std::string(id));
  }
  for (std::string_view id : Shortcuts::kIds)
    EXPECT_TRUE(used.count(std::string(id))) << "listed but taken nowhere: Shortcut::" << id;
}

TEST(ShortcutTake, TheSwitchKeepsTheFastWayFromRunningAndAnswersAreCounted) {
  struct Case {
    bool forced, fastAnswers;
    bool taken, fastRan;
  } cases[] = {
      {false, true, true, true},
      {false, false, false, true},  // gave up: the caller's next way runs
      {true, true, false, false},   // switch on: not even tried
      {true, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "forced " << c.forced << ", answers " << c.fastAnswers);
    Shortcuts::ForceReference(c.forced);
    EXPECT_EQ(Shortcuts::Allowed(Shortcut::TreeWalk), !c.forced);
    const uint64_t before = Shortcuts::Answers(Shortcut::TreeWalk);
    bool fastRan = false;
    std::string out;
    const bool taken = Shortcuts::Take(
        Shortcut::TreeWalk, 3, out,
        [&](std::string& o) {
          fastRan = true;
          o = "abc";
          return c.fastAnswers;
        },
        [] { return std::string("abc"); });
    Shortcuts::ForceReference(false);
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(fastRan, c.fastRan);
    EXPECT_EQ(Shortcuts::Answers(Shortcut::TreeWalk) - before, c.taken ? 1u : 0u);
  }
}

TEST(ShortcutTakeDeathTest, AWrongAnswerAbortsInCheckingBuildsNamingTheShortcut) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  auto wrong = [] {
    std::string out;
    Shortcuts::Take(
        Shortcut::EnvelopeText, 3, out,
        [](std::string& o) {
          o = "abc";
          return true;
        },
        [] { return std::string("abd"); });
  };
  if (!Lumo::Canon::kCheckShortcuts) GTEST_SKIP() << "not a checking build";
  EXPECT_DEATH(wrong(), "\"envelope read from its text\" disagrees");
}

}  // namespace
