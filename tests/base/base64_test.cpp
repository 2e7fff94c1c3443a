// Base64 codec.
#include "base/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace Lumo::Base;

namespace {

// A straightforward reference of the encoder: RFC 4648 with pads.
std::string RefEncode(const std::string& in) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    unsigned v =
        (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += a[v >> 18 & 63];
    out += a[v >> 12 & 63];
    out += a[v >> 6 & 63];
    out += a[v & 63];
  }
  if (in.size() - i == 1) {
    unsigned v = (unsigned char)in[i] << 16;
    out += a[v >> 18 & 63];
    out += a[v >> 12 & 63];
    out += "==";
  } else if (in.size() - i == 2) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += a[v >> 18 & 63];
    out += a[v >> 12 & 63];
    out += a[v >> 6 & 63];
    out += '=';
  }
  return out;
}

// A straightforward reference of the decoder, step by step as the exchange defines it, with the
// documented choices: missing characters of a short final group are pads (64), and
// characters 128..255 are 255.
unsigned RefValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 64;
  return 255;
}

std::string RefDecode(const std::string& t) {
  std::string out;
  size_t p = 0;
  while (p < t.size()) {
    unsigned char c = t[p];
    if (c == 9 || c == 10 || c == 13 || c == 32) {
      p++;
      continue;
    }
    unsigned v[4];
    for (int k = 0; k < 4; ++k) v[k] = p + k < t.size() ? RefValue(t[p + k]) : 64;
    out += (char)(((v[0] & 63) << 2) + ((v[1] & 48) >> 4));
    if (v[2] != 64) {
      out += (char)(((v[1] & 15) << 4) + ((v[2] & 60) >> 2));
      if (v[3] != 64) out += (char)(((v[2] & 3) << 6) + (v[3] & 63));
    }
    p += 4;
  }
  return out;
}

}  // namespace

// --- Encoding ------------------------------------------------------------------------

TEST(Base64Encode, Rfc4648Vectors) {
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("f"), "Zg==");
  EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
  EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
  EXPECT_EQ(EncodeBase64("foob"), "Zm9vYg==");
  EXPECT_EQ(EncodeBase64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
}

TEST(Base64Encode, AllByteValuesAndZeros) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(EncodeBase64(all), RefEncode(all));
  EXPECT_EQ(EncodeBase64(std::string(3, '\0')), "AAAA");
  EXPECT_EQ(EncodeBase64(std::string(3, '\xFF')), "////");
  EXPECT_EQ(EncodeBase64("\xFB\xEF"), "++8=");
}

TEST(Base64Encode, WideFormHasTheSameCharactersForEveryLengthAndByte) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += static_cast<char>((i * 37 + 11) & 0xFF);
  for (size_t n :
       {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{299}, size_t{300}}) {
    std::string part = bytes.substr(0, n);
    std::string narrow = EncodeBase64(part);
    ASSERT_EQ(narrow.size(), Lumo::Base::Base64Length(n));
    std::u16string wide(narrow.size() + 1, u'#');  // one unit past the end stays
    Lumo::Base::EncodeBase64To(part, wide.data());
    EXPECT_EQ(wide, std::u16string(narrow.begin(), narrow.end()) + u"#") << n;
  }
}

TEST(Base64Encode, GroupOfOneTwoThreeBytes) {
  const uint8_t b[3] = {0x4D, 0x61, 0x6E};
  EXPECT_EQ(EncodeBase64Group(b, 3), "TWFu");
  EXPECT_EQ(EncodeBase64Group(b, 2), "TWE=");
  EXPECT_EQ(EncodeBase64Group(b, 1), "TQ==");
}

TEST(Base64Encode, LongOutputIsNeverBrokenIntoLines) {
  std::string data(100000, '\x5A');
  const std::string text = EncodeBase64(data);
  EXPECT_EQ(text.size(), 133336u);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}

// --- Decoding: groups and pads -------------------------------------------------------

TEST(Base64Decode, Rfc4648Vectors) {
  EXPECT_EQ(DecodeBase64(""), "");
  EXPECT_EQ(DecodeBase64("Zg=="), "f");
  EXPECT_EQ(DecodeBase64("Zm8="), "fo");
  EXPECT_EQ(DecodeBase64("Zm9v"), "foo");
  EXPECT_EQ(DecodeBase64("Zm9vYg=="), "foob");
  EXPECT_EQ(DecodeBase64("Zm9vYmE="), "fooba");
  EXPECT_EQ(DecodeBase64("Zm9vYmFy"), "foobar");
}

TEST(Base64Decode, ThirdPadEndsGroupAfterOneByteWhateverTheFourth) {
  EXPECT_EQ(DecodeBase64("Zg=A"), "f");
  EXPECT_EQ(DecodeBase64("Zg=="), "f");
  EXPECT_EQ(DecodeBase64("Zm=v"), DecodeBase64("Zm=="));
  EXPECT_EQ(DecodeBase64("Zm=v").size(), 1u);
}

TEST(Base64Decode, FourthPadGivesTwoBytes) {
  EXPECT_EQ(DecodeBase64("Zm8="), "fo");
  EXPECT_EQ(DecodeBase64("Zm8=").size(), 2u);
}

TEST(Base64Decode, PadGroupInTheMiddleDoesNotEndDecoding) {
  EXPECT_EQ(DecodeBase64("Zg==Zm8=Zm9v"), "ffofoo");
  EXPECT_EQ(DecodeBase64("Zm9vZg==Zm9v"), "fooffoo");
}

TEST(Base64Decode, PadInFirstOrSecondPositionIsNotAnEnd) {
  // "=" is 64; only the third and fourth compare against 64, the first two are masked.
  EXPECT_EQ(DecodeBase64("==Zm"), RefDecode("==Zm"));
  EXPECT_EQ(DecodeBase64("==Zm").size(), 3u);
  EXPECT_EQ(DecodeBase64("Z=Zm").size(), 3u);
}

// --- Decoding: white space -----------------------------------------------------------

TEST(Base64Decode, WhiteSpaceSkippedWhereAGroupWouldStart) {
  EXPECT_EQ(DecodeBase64(" \t\r\nZm9v\r\nYmFy \n"), "foobar");
  EXPECT_EQ(DecodeBase64("Zm9v    Ym\tFy"),
            DecodeBase64("Zm9v") + RefDecode("Ym\tF") + RefDecode("y"));
  EXPECT_EQ(DecodeBase64("\r\n\r\n"), "");
}

TEST(Base64Decode, LineBreakInsideAGroupIsData) {
  const std::string broken = DecodeBase64("Zm\r\n9v");
  EXPECT_NE(broken, "foo");
  EXPECT_EQ(broken, RefDecode("Zm\r\n9v"));
  // "Zm\r\n" decodes as "Zm//" (CR and LF are 255 and contribute their masked bits).
  EXPECT_EQ(broken.substr(0, 3), DecodeBase64("Zm//"));
}

TEST(Base64Decode, OnlyTabLineFeedCarriageReturnAndSpaceAreSkipped) {
  // A form feed or vertical tab at a group start starts a group (value 255).
  EXPECT_EQ(DecodeBase64("\fZm9"), DecodeBase64("/Zm9"));
  EXPECT_EQ(DecodeBase64("\vZm9v").size(), 3u + 1u);
}

// --- Decoding: the implementer's choices ---------------------------------------------

TEST(Base64Decode, ShortFinalGroupReadsMissingCharactersAsPads) {
  EXPECT_EQ(DecodeBase64("QQ"), "A");
  EXPECT_EQ(DecodeBase64("QQ"), DecodeBase64("QQ=="));
  EXPECT_EQ(DecodeBase64("QUI"), "AB");
  EXPECT_EQ(DecodeBase64("QUI"), DecodeBase64("QUI="));
  EXPECT_EQ(DecodeBase64("Q"), DecodeBase64("Q==="));
  EXPECT_EQ(DecodeBase64("Q"), std::string(1, '\x40'));
  EXPECT_EQ(DecodeBase64("Zm9vQQ"), "fooA");
  EXPECT_EQ(DecodeBase64("Zm9v\r\nQUI"), "fooAB");
}

TEST(Base64Decode, ShortFinalGroupNeverReadsPastTheEnd) {
  // The input is a view into a larger buffer: the characters after it must not matter.
  const std::string buffer = "QQZm9v";
  EXPECT_EQ(DecodeBase64(std::string_view(buffer).substr(0, 2)), "A");
  const std::string buffer2 = "Zm9vQUIz";
  EXPECT_EQ(DecodeBase64(std::string_view(buffer2).substr(0, 7)), "fooAB");
  // And a heap copy of exactly the short text (AddressSanitizer watches the end).
  for (const char* t : {"Q", "QQ", "QUI", "Zm9vQ", "Zm9vQQ", "Zm9vQUI", " Q", "\nQQ"}) {
    std::unique_ptr<char[]> exact(new char[strlen(t)]);
    memcpy(exact.get(), t, strlen(t));
    EXPECT_EQ(DecodeBase64(std::string_view(exact.get(), strlen(t))), RefDecode(t)) << t;
  }
}

TEST(Base64Decode, HighCharactersTakeValue255LikeAnyOutsider) {
  EXPECT_EQ(DecodeBase64("\x80\xC0\xFE\xFF"), "\xFF\xFF\xFF");
  EXPECT_EQ(DecodeBase64("\x80\xC0\xFE\xFF"), DecodeBase64("////"));
  EXPECT_EQ(DecodeBase64("Z\xD0=="), DecodeBase64("Z/=="));
  EXPECT_EQ(DecodeBase64("Zm\xE9v"), DecodeBase64("Zm/v"));
  EXPECT_EQ(DecodeBase64("*!-_"), DecodeBase64("////"));
}

TEST(Base64Decode, ValueOf255NeverEndsAGroup) {
  // Only the exact value 64 ends a group early; 255 has the bit 64 set but is not 64.
  EXPECT_EQ(DecodeBase64("Zm9*").size(), 3u);
  EXPECT_EQ(DecodeBase64("Zm**").size(), 3u);
}

// --- Stream form -----------------------------------------------------------------------

TEST(Base64Decode, ToStreamLeavesThePositionAfterTheLastByte) {
  TMemoryStream stream;
  DecodeBase64ToStream("Zm9vYmFy", stream);
  EXPECT_EQ(stream.Data(), "foobar");
  EXPECT_EQ(stream.Position(), 6u);
  DecodeBase64ToStream("Zg==", stream);
  EXPECT_EQ(stream.Data(), "foobarf");
  EXPECT_EQ(stream.Position(), 7u);
  TMemoryStream empty;
  DecodeBase64ToStream("", empty);
  EXPECT_EQ(empty.Size(), 0u);
}

// --- Random round trips against the references --------------------------------------------

TEST(Base64RoundTrip, RandomDataAgainstReference) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 2000; ++round) {
    const size_t len = rng() % 300;
    std::string data(len, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    const std::string text = EncodeBase64(data);
    ASSERT_EQ(text, RefEncode(data));
    ASSERT_EQ(DecodeBase64(text), data);
  }
}

TEST(Base64RoundTrip, RandomGarbageDecodesLikeReference) {
  // Text made of alphabet characters, pads, white space and outsiders (high ones too).
  static const std::string pool =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
      "========    \r\n\t\r\n*-_.\x80\xC3\xFF\x01";
  std::mt19937 rng(777);
  for (int round = 0; round < 5000; ++round) {
    const size_t len = rng() % 64;
    std::string text(len, '\0');
    for (auto& c : text) c = pool[rng() % pool.size()];
    ASSERT_EQ(DecodeBase64(text), RefDecode(text)) << testing::PrintToString(text);
  }
}

TEST(Base64RoundTrip, WrappedLinesDecodeToTheSameBytes) {
  std::mt19937 rng(99);
  std::string data(3000, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  const std::string text = EncodeBase64(data);
  std::string wrapped;
  for (size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\r\n";
  EXPECT_EQ(DecodeBase64(wrapped), data);
}

TEST(Base64Decode, InPlaceGivesTheBytesOfTheCopyingDecoder) {
  // Edge shapes first (pads, white space at group starts and inside, short final groups,
  // outsiders), then random text of the same kinds of characters.
  std::vector<std::string> texts = {"",      "QQ",       "QUI=", "QUJD",       " \r\nQUJD\tRA==",
                                    "QU JD", "QUJ=RA==", "=A==", "\xFF\x80QU", "QUJDRA",
                                    "QUJDR"};
  static const std::string pool =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/== \r\n\t*\x80\xFF";
  std::mt19937 rng(4242);
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 200, '\0');
    for (auto& c : text) c = pool[rng() % pool.size()];
    texts.push_back(text);
  }
  for (const std::string& text : texts)
    ASSERT_EQ(DecodeBase64InPlace(text), DecodeBase64(text)) << testing::PrintToString(text);
}

TEST(Base64Decode, LongCleanRunsLikeReferenceInPlaceToo) {
  // Long runs of clean groups, broken now and then by a pad group, white space at a
  // group start (which puts the input ahead of the output) or an outsider.
  static const std::string breaks[] = {"=", " ", "\r\n", "*", "\xC3"};
  std::mt19937 rng(31337);
  for (int round = 0; round < 300; ++round) {
    std::string data(rng() % 2000, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    std::string text = EncodeBase64(data);
    for (int k = rng() % 4; k > 0 && !text.empty(); --k)
      text.insert(rng() % text.size(), breaks[rng() % std::size(breaks)]);
    const std::string expected = RefDecode(text);
    ASSERT_EQ(DecodeBase64(text), expected) << round;
    ASSERT_EQ(DecodeBase64InPlace(text), expected) << round;
  }
}

TEST(Base64Text, LengthIsTheRunOfAlphabetAndPadCharacters) {
  const std::string clean = EncodeBase64(std::string(300, '\xA7')) + "QUJDRA==+/09az";
  // Every byte value as the character after runs that end around block boundaries.
  for (size_t run : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{200}}) {
    for (int c = 0; c < 256; ++c) {
      const std::string text = clean.substr(0, run) + static_cast<char>(c) + "QUJD";
      const bool inside = RefValue(static_cast<unsigned char>(c)) != 255;
      ASSERT_EQ(Base64TextLength(text), inside ? text.size() : run) << run << " " << c;
      std::u16string wide(text.begin(), text.end());
      wide[run] = static_cast<char16_t>(static_cast<unsigned char>(c));
      ASSERT_EQ(Base64TextLength(wide), inside ? wide.size() : run) << run << " " << c;
      // A wide character whose low byte is in the alphabet is not.
      wide[run] = static_cast<char16_t>(0x100 | static_cast<unsigned char>(c));
      ASSERT_EQ(Base64TextLength(wide), run) << run << " " << c;
    }
  }
  EXPECT_EQ(Base64TextLength(""), 0u);
  EXPECT_EQ(Base64TextLength(clean), clean.size());
}
