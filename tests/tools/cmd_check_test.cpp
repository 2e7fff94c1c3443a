// dezsign check / dezsign xml: exit codes, the parse error on stderr, UTF-8 markup on stdout.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kDezsign = std::string(LUMO_BINARY_DIR) + "/tools/dezsign";

// Per-test file names: the tests of this file may run at the same time.
std::string Prefix() {
  return ::testing::TempDir() + "cmd_check_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
         std::to_string(::getpid()) + "_";
}

std::string Temp(const std::string& name, const std::string& content) {
  std::string path = Prefix() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Runs dezsign with arguments; returns the exit code, fills stdout and stderr.
int RunDezsign(const std::string& args, std::string* out, std::string* err) {
  std::string o = Prefix() + "out", e = Prefix() + "err";
  int status = std::system((kDezsign + " " + args + " >" + o + " 2>" + e).c_str());
  *out = Slurp(o);
  *err = Slurp(e);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CmdCheck, LoadsOrReportsTheParseError) {
  std::string out, err;
  std::string good =
      Temp("good.xml", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>\xC0</r>");
  EXPECT_EQ(RunDezsign("check " + good, &out, &err), 0);
  EXPECT_TRUE(err.empty());
  std::string bad = Temp("bad.xml", "<r>\n<a></b></r>");
  EXPECT_EQ(RunDezsign("check " + bad, &out, &err), 1);
  EXPECT_EQ(err, "End tag 'b' does not match the start tag 'a'.\r\nPosition: 2:4\r\n<a></b></r>\n");
  EXPECT_EQ(RunDezsign("check " + ::testing::TempDir() + "no-such-file.xml", &out, &err), 1);
  EXPECT_NE(err.find("cannot be opened"), std::string::npos);
  EXPECT_EQ(RunDezsign("check", &out, &err), 2);
  EXPECT_EQ(RunDezsign("check a b", &out, &err), 2);
}

TEST(CmdCheck, XmlPrintsTheRootAsUtf8) {
  std::string out, err;
  std::string doc = Temp(
      "doc.xml",
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<r a=\"1\">\n<b>\xC0 &amp;</b>\n</r>\n");
  EXPECT_EQ(RunDezsign("xml " + doc, &out, &err), 0);
  EXPECT_EQ(out, "<r a=\"1\">\r\n\t<b>\xD0\x90 &amp;</b>\r\n</r>");
  EXPECT_EQ(RunDezsign("xml", &out, &err), 2);
  EXPECT_EQ(RunDezsign("xml " + Temp("empty.xml", ""), &out, &err), 1);
  EXPECT_EQ(err.rfind("XML document must have a top level element.", 0), 0u);
}

}  // namespace
