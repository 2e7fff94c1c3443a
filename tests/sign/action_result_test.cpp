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
  // A value of several pieces, so that the writer's slicing shows, and of megabytes, so
  // that its pages go back behind the writer (they would read as zeros if read again).
  ByteString large(3 * 1024 * 1024 + 1, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251 + 1);
  struct Case {
    ByteString signature, data;
    bool shared;
  } cases[] = {
      {"", "<?xml?>", true}, {"MAC", "<?xml?>", false},
      {"", "A", false},  // empty signature value: the tree's short form
      {large, "A", false},   {"", large, true},
      {"MAC", large, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.signature.size()) + " / " + std::to_string(c.data.size()));
    const AnsiString object = Lumo::Base::EncodeBase64(c.data);
    const AnsiString signature = c.shared ? object : Lumo::Base::EncodeBase64(c.signature);
    const std::string expected =
        Lumo::Base::Utf8Encode(Lumo::Sign::Envelope::Build(signature, object).xml());
    EXPECT_EQ(Written(ActionResult::FromEnvelope(c.data, c.signature, c.shared)), expected);
    WideString wide;
    ActionResult::FromEnvelope(c.data, c.signature, c.shared).AppendXml(wide);
    EXPECT_EQ(Lumo::Base::Utf8Encode(wide), expected);
  }
}

}  // namespace
