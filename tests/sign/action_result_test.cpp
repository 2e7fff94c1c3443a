// The result writer: results known from their text read exactly as the trees they stand
// for would be written.
#include "sign/action_result.h"

#include <gtest/gtest.h>

#include <string>

#include "base/base64.h"
#include "base/encoding.h"
#include "sign/envelope.h"

using Lumo::Base::AnsiString;
using Lumo::Base::ByteString;
using Lumo::Base::WideString;
using Lumo::Sign::ActionResult;

namespace {

// The bytes WriteUtf8 hands on, joined; every piece must arrive non-empty.
std::string Written(ActionResult result) {
  std::string all;
  result.WriteUtf8([&all](ByteString& piece) {
    EXPECT_FALSE(piece.empty());
    all += piece;
    piece.clear();
  });
  return all;
}

TEST(ActionResultEnvelope, TextReadsAsTheEnvelopeTreeWrites) {
  // A value larger than one piece, so that the writer's slicing shows.
  const AnsiString large = Lumo::Base::EncodeBase64(std::string(700 * 1024, '\x5a'));
  struct Case {
    AnsiString signature, object;
    bool shared;
  } cases[] = {
      {"", "PD94bWw/Pg==", true}, {"TUFD", "PD94bWw/Pg==", false},
      {"", "QQ==", false},  // empty signature value: the tree's short form
      {large, "QQ==", false},     {"", large, true},
      {"TUFD", large, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signature.substr(0, 16) + " / " + c.object.substr(0, 16));
    const AnsiString& signature = c.shared ? c.object : c.signature;
    const std::string expected =
        Lumo::Base::Utf8Encode(Lumo::Sign::Envelope::Build(signature, c.object).xml());
    EXPECT_EQ(Written(ActionResult::FromEnvelopeTexts(c.signature, c.object, c.shared)), expected);
    WideString wide;
    ActionResult::FromEnvelopeTexts(c.signature, c.object, c.shared).AppendXml(wide);
    EXPECT_EQ(Lumo::Base::Utf8Encode(wide), expected);
  }
}

}  // namespace
