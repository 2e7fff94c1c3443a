// The report of a shortcut that disagrees with the reference way, and the abort.
#include "canon/check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"

using Lumo::Canon::Check::Agrees;
using Lumo::Canon::Check::Disagreement;

TEST(CanonCheck, TheReportNamesTheShortcutTheOffsetAndBothExcerpts) {
  const std::string longText(200, 'a');
  struct Case {
    std::string taken, reference;
    std::vector<std::string> expected;  // pieces the report must hold
  } cases[] = {
      {"<a>x</a>",
       "<a>y</a>",
       {"\"walk\"", "input size: 42", "offset 3", "shortcut:  <a>x</a>", "reference: <a>y</a>"}},
      // One text a prefix of the other: the difference is where the shorter ends.
      {"<a></a>", "<a></a>!", {"offset 7", "shortcut gave 7 bytes, reference 8"}},
      // Far into a long text: only the bytes around it, marked as cut; bytes outside
      // printable ASCII shown as escapes.
      {longText + "\xD0\x9C",
       longText + "\xD0\x9D",
       {"offset 201", "...aaa", "\\xD0\\x9C", "\\xD0\\x9D"}},
  };
  for (const Case& c : cases) {
    const std::string report = Disagreement("walk", 42, c.taken, c.reference);
    for (const std::string& piece : c.expected)
      EXPECT_NE(report.find(piece), std::string::npos) << piece << "\n" << report;
  }
  EXPECT_EQ(Disagreement("walk", 42, "<a/>", "<a/>"), "");
}

TEST(CanonCheckDeathTest, ADifferenceOrAFailingReferenceAborts) {
  Agrees("walk", 4, "same", [] { return std::string("same"); });  // agreement: nothing happens
  EXPECT_DEATH(Agrees("walk", 4, "abc", [] { return std::string("abd"); }),
               "\"walk\" disagrees.*offset 2");
  EXPECT_DEATH(Agrees("walk", 4, "abc",
                      []() -> std::string { throw Lumo::Base::ELumoDEZError("no parse"); }),
               "answered where the reference way fails.*no parse");
}
