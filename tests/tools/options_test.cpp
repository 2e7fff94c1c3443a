// The options the document commands share: what each argument list reads as, and the
// usage errors it is refused with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/command.h"
#include "tools/options.h"

namespace {

using Lumo::Tool::DocumentOptions;
using Lumo::Tool::ReadDocumentOptions;
using Lumo::Tool::UsageError;

struct Case {
  std::vector<std::string> args;
  std::string profile;
  std::string provider;
  bool testMode;
  unsigned jobs;
  std::vector<std::string> inputs;
  std::string other;  // the value the command's own "--name" option received
};

// The command under test knows one option of its own, "--name VALUE", and the flag "-x".
DocumentOptions Read(const std::vector<std::string>& args, std::string* other = nullptr) {
  DocumentOptions o;
  ReadDocumentOptions(args, 0, o, [&](const std::string& a, const auto& value) {
    if (a == "--name") {
      std::string v = value();
      if (other) *other = v;
      return true;
    }
    return a == "-x";
  });
  return o;
}

TEST(DocumentOptions, ReadsSharedOptionsAndHandsOnTheRest) {
  const Case cases[] = {
      {{"a.xml"}, "", "", false, 0, {"a.xml"}, ""},
      {{"-p", "k", "--provider", "p.so", "-t", "a.xml"}, "k", "p.so", true, 0, {"a.xml"}, ""},
      {{"--profile", "k", "--test-mode", "-", "b.xml"}, "k", "", true, 0, {"-", "b.xml"}, ""},
      {{"-j", "4", "a.xml"}, "", "", false, 4, {"a.xml"}, ""},
      {{"--jobs", "256", "a.xml"}, "", "", false, 256, {"a.xml"}, ""},
      {{"-j12", "a.xml"}, "", "", false, 12, {"a.xml"}, ""},
      {{"-j", "010", "a.xml"}, "", "", false, 10, {"a.xml"}, ""},  // decimal, never octal
      {{"a.xml", "--", "-p", "--", "-j2"}, "", "", false, 0, {"a.xml", "-p", "--", "-j2"}, ""},
      {{"--name", "-p", "-x", "a.xml"}, "", "", false, 0, {"a.xml"}, "-p"},
      {{"-p", "", "", "a.xml"}, "", "", false, 0, {"", "a.xml"}, ""},
      // The GNU forms, for the shared options and the command's own alike.
      {{"--profile=k", "--provider=p.so", "--jobs=3", "--name=v", "a.xml"},
       "k",
       "p.so",
       false,
       3,
       {"a.xml"},
       "v"},
      {{"-pk", "-j2", "a.xml"}, "k", "", false, 2, {"a.xml"}, ""},
      {{"--profile=a=b", "-p=k", "a.xml"}, "=k", "", false, 0, {"a.xml"}, ""},
      {{"--name=", "--profile=", "a.xml"}, "", "", false, 0, {"a.xml"}, ""},
  };
  for (const Case& c : cases) {
    std::string other;
    DocumentOptions o = Read(c.args, &other);
    std::string where = ::testing::PrintToString(c.args);
    EXPECT_EQ(o.profile, c.profile) << where;
    EXPECT_EQ(o.provider, c.provider) << where;
    EXPECT_EQ(o.testMode, c.testMode) << where;
    EXPECT_EQ(o.jobs, c.jobs) << where;
    EXPECT_EQ(o.inputs, c.inputs) << where;
    EXPECT_EQ(other, c.other) << where;
  }
}

TEST(DocumentOptions, RefusesWithAMessageThatSaysWhy) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no input given (a file name, or - for standard input)"},
      {{"-t"}, "no input given (a file name, or - for standard input)"},
      {{"a.xml", "-p"}, "option -p needs a value"},
      {{"a.xml", "--name"}, "option --name needs a value"},
      {{"--provider", "", "a.xml"}, "--provider needs a library name or path"},
      {{"-j", "0", "a.xml"}, "-j takes a number from 1 to 256"},
      {{"-j", "257", "a.xml"}, "-j takes a number from 1 to 256"},
      {{"-j", "0x10", "a.xml"}, "-j takes a number from 1 to 256"},
      {{"-j", "", "a.xml"}, "-j takes a number from 1 to 256"},
      {{"-j4x", "a.xml"}, "-j takes a number from 1 to 256"},
      {{"--frobnicate", "a.xml"}, "unknown option --frobnicate"},
      {{"-j--", "a.xml"}, "-j takes a number from 1 to 256"},  // -jVALUE: "--" is the value
      {{"--test-mode=yes", "a.xml"}, "option --test-mode takes no value"},
      {{"-tq", "a.xml"}, "unknown option -tq"},
      {{"-xy", "a.xml"}, "unknown option -xy"},
      {{"--frob=1", "a.xml"}, "unknown option --frob"},
      {{"--provider=", "a.xml"}, "--provider needs a library name or path"},
  };
  for (const auto& c : cases) {
    try {
      Read(c.args);
      ADD_FAILURE() << ::testing::PrintToString(c.args) << " was accepted";
    } catch (const UsageError& e) {
      EXPECT_EQ(e.what(), c.message) << ::testing::PrintToString(c.args);
    }
  }
}

TEST(DocumentOptions, QuietInBothSpellings) {
  EXPECT_FALSE(Read({"a.xml"}).quiet);
  EXPECT_TRUE(Read({"-q", "a.xml"}).quiet);
  EXPECT_TRUE(Read({"a.xml", "--quiet"}).quiet);
}

TEST(DocumentOptions, StandardInputIsRefusedInABatchOnly) {
  EXPECT_NO_THROW(Lumo::Tool::RefuseStandardInputInBatch({"-"}));
  EXPECT_NO_THROW(Lumo::Tool::RefuseStandardInputInBatch({"a.xml", "b.xml"}));
  EXPECT_THROW(Lumo::Tool::RefuseStandardInputInBatch({"a.xml", "-"}), UsageError);
}

TEST(DocumentOptions, ActionCodesReadAsCDoes) {
  using Lumo::Tool::ParseInt32;
  EXPECT_EQ(ParseInt32("261", "action code"), 261);
  EXPECT_EQ(ParseInt32("0x105", "action code"), 0x105);
  EXPECT_EQ(ParseInt32("4294967295", "action code"), -1);  // unsigned 32 bits wrap
  EXPECT_EQ(ParseInt32("-2147483648", "action code"), INT32_MIN);
  for (const char* bad : {"", "4294967296", "-2147483649", "12a", " "}) {
    try {
      ParseInt32(bad, "action code");
      ADD_FAILURE() << '"' << bad << "\" was accepted";
    } catch (const UsageError& e) {
      EXPECT_EQ(e.what(), std::string("invalid action code \"") + bad + "\"");
    }
  }
}

}  // namespace
