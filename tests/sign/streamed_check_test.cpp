// The check taken as a document is parsed (CheckLoaded) gives the verdicts of the check on
// the whole tree, for packets long enough to be handed over in several batches, genuine
// and edited the ways a sender might; and its OK comes only where the whole check's does.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/encoding.h"
#include "canon/check.h"
#include "dom/xml_helpers.h"
#include "sign/profile.h"
#include "sign/signature_check.h"

using Lumo::Sign::SignatureCheck;
using Lumo::Sign::SignedBy;
using Lumo::Sign::VerdictCode;

namespace {

// A packet of n children, each with a value of its own (non-ASCII text among them).
std::string Packet(int n) {
  std::string xml = "<ed:Packet xmlns:ed=\"urn:dez-ru:ed:v2.0\" EDNo=\"7\">\n";
  for (int i = 1; i <= n; ++i)
    xml += "  <ed:ED101 EDNo=\"" + std::to_string(i) + "\" Sum=\"" + std::to_string(i * 100) +
           "\"><ed:Name>Плательщик " + std::to_string(i) + "</ed:Name></ed:ED101>\n";
  return xml + "</ed:Packet>";
}

std::string Signed(const std::string& xml, uint8_t action) {
  Lumo::Sign::TProfile profile(nullptr, "test");
  profile.TestMode = true;
  Lumo::Base::WideString value;
  profile.SignXml(Lumo::Base::WideFromUtf8(xml), action, value);
  return Lumo::Base::Utf8FromWide(value);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The verdicts, one line each, and what is not covered.
std::string Text(const SignatureCheck& check) {
  std::string text;
  for (const auto& v : check.verdicts)
    text += std::to_string(v.index) + " " + std::to_string(static_cast<int>(v.code)) + " " +
            v.reason + "\n";
  return text + check.notCovered;
}

struct Case {
  const char* name;
  SignedBy action;
  const char* from;  // the edit made to the signed text (nothing: none)
  const char* to;
  VerdictCode first, worst;  // the first child's (Root: the) verdict, and the least one
};

const Case kCases[] = {
    {"root genuine", SignedBy::Root, nullptr, nullptr, VerdictCode::Ok, VerdictCode::Ok},
    {"root xsi:nil", SignedBy::Root, "<ed:Name>Плательщик 50<",
     "<ed:Name xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:nil=\"true\">"
     "Плательщик 50<",
     VerdictCode::UnsignedContent, VerdictCode::UnsignedContent},
    {"root comment in a late child", SignedBy::Root, "Плательщик 65<", "Плательщик 65<!--x--><",
     VerdictCode::UnsignedContent, VerdictCode::UnsignedContent},
    {"root value changed", SignedBy::Root, "Sum=\"4000\"", "Sum=\"4001\"", VerdictCode::Failed,
     VerdictCode::Failed},
    {"root instruction after the root", SignedBy::Root, "</ed:Packet>", "</ed:Packet><?pi x?>",
     VerdictCode::UnsignedContent, VerdictCode::UnsignedContent},
    {"childs genuine", SignedBy::Childs, nullptr, nullptr, VerdictCode::Ok, VerdictCode::Ok},
    {"childs value changed late", SignedBy::Childs, "Sum=\"6900\"", "Sum=\"6901\"", VerdictCode::Ok,
     VerdictCode::Failed},
    {"childs attribute added", SignedBy::Childs, "<ed:Name>Плательщик 40<",
     "<ed:Name xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:nil=\"true\">"
     "Плательщик 40<",
     VerdictCode::Ok, VerdictCode::UnsignedContent},
    {"childs comment between children", SignedBy::Childs, "</ed:ED101>", "</ed:ED101><!--c-->",
     VerdictCode::Ok, VerdictCode::Ok},
    {"childs packet text", SignedBy::Childs, "</ed:Packet>", "text</ed:Packet>", VerdictCode::Ok,
     VerdictCode::Ok},
    {"childs document type", SignedBy::Childs, "<ed:Packet", "<!DOCTYPE x><ed:Packet",
     VerdictCode::UnsignedContent, VerdictCode::UnsignedContent},
};

}  // namespace

TEST(StreamedCheck, GivesTheWholeChecksVerdicts) {
  const std::string packet = Packet(70);  // more children than one batch holds
  const std::string root = Signed(packet, Lumo::Base::saRoot);
  const std::string childs = Signed(packet, Lumo::Base::saChilds);
  for (const Case& c : kCases) {
    std::string text = c.action == SignedBy::Root ? root : childs;
    if (c.from) text = Replace(text, c.from, c.to);
    Lumo::Sign::TProfile profile(nullptr, "test");
    profile.TestMode = true;
    int loads = 0;
    std::optional<SignatureCheck> streamed = Lumo::Sign::CheckLoaded(
        profile,
        [&](Lumo::Dom::RootChildHandler handler) {
          ++loads;
          return Lumo::Dom::LoadXmlText(text, std::move(handler));
        },
        c.action, Lumo::Sign::CheckOptions());
    ASSERT_TRUE(streamed) << c.name;
    const SignatureCheck whole = Lumo::Sign::CheckDocument(profile, Lumo::Dom::LoadXmlText(text),
                                                           c.action, Lumo::Sign::CheckOptions());
    EXPECT_EQ(Text(*streamed), Text(whole)) << c.name;
    // The same verdicts handed on one by one as they are known, none kept, none twice
    // (where the whole check has to take over after some were handed on, too).
    Lumo::Sign::CheckOptions handing;
    SignatureCheck handed;
    handing.onVerdict = [&handed](Lumo::Sign::SignatureVerdict&& v) {
      handed.verdicts.push_back(std::move(v));
    };
    std::optional<SignatureCheck> rest = Lumo::Sign::CheckLoaded(
        profile,
        [&](Lumo::Dom::RootChildHandler handler) {
          return Lumo::Dom::LoadXmlText(text, std::move(handler));
        },
        c.action, handing);
    ASSERT_TRUE(rest) << c.name;
    EXPECT_TRUE(rest->verdicts.empty()) << c.name;
    handed.notCovered = rest->notCovered;
    EXPECT_EQ(Text(handed), Text(whole)) << c.name;
    ASSERT_FALSE(streamed->verdicts.empty()) << c.name;
    EXPECT_EQ(streamed->verdicts.front().code, c.first) << c.name << "\n" << Text(*streamed);
    VerdictCode worst = VerdictCode::Ok;
    for (const auto& v : streamed->verdicts)
      if (v.code != VerdictCode::Ok) worst = v.code;
    EXPECT_EQ(worst, c.worst) << c.name << "\n" << Text(*streamed);
    // A genuine document is checked in one load; only what is not OK is loaded again
    // (a checking build loads it again for its own comparison).
    if (!Lumo::Canon::kCheckShortcuts && c.worst == VerdictCode::Ok && !c.from)
      EXPECT_EQ(loads, 1) << c.name;
  }
}

TEST(StreamedCheck, NoRootElementIsNothing) {
  Lumo::Sign::TProfile profile(nullptr, "test");
  profile.TestMode = true;
  for (SignedBy action : {SignedBy::Root, SignedBy::Childs})
    EXPECT_FALSE(Lumo::Sign::CheckLoaded(
        profile, [](Lumo::Dom::RootChildHandler) { return Lumo::Dom::Node(); }, action,
        Lumo::Sign::CheckOptions()));
}
