// Text encodings.
#include "base/encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace Lumo::Base;

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

WideString Units(std::initializer_list<int> u) {
  WideString s;
  for (int v : u) s += static_cast<char16_t>(v);
  return s;
}

}  // namespace

// --- Exchange UTF-8: encoding --------------------------------------------------------

TEST(Utf8Encode, BoundariesOfOneTwoAndThreeBytes) {
  EXPECT_EQ(Utf8Encode(Units({0x00})), Bytes({0x00}));
  EXPECT_EQ(Utf8Encode(Units({0x7F})), Bytes({0x7F}));
  EXPECT_EQ(Utf8Encode(Units({0x80})), Bytes({0xC2, 0x80}));
  EXPECT_EQ(Utf8Encode(Units({0x7FF})), Bytes({0xDF, 0xBF}));
  EXPECT_EQ(Utf8Encode(Units({0x800})), Bytes({0xE0, 0xA0, 0x80}));
  EXPECT_EQ(Utf8Encode(Units({0xFFFF})), Bytes({0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(Utf8Encode(u""), "");
}

TEST(Utf8Encode, SpecExamples) {
  EXPECT_EQ(Utf8Encode(u"\u041F"), Bytes({0xD0, 0x9F}));
  EXPECT_EQ(Utf8Encode(u"\u20AC"), Bytes({0xE2, 0x82, 0xAC}));
}

TEST(Utf8Encode, CharacterBeyondBmpBecomesTwoThreeByteSequences) {
  // U+1F600 = D83D DE00.
  const std::string e = Utf8Encode(u"\U0001F600");
  EXPECT_EQ(e.size(), 6u);
  EXPECT_EQ(e, Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}));
  // Lone surrogates are encoded the same way, unit by unit.
  EXPECT_EQ(Utf8Encode(Units({0xDC00})), Bytes({0xED, 0xB0, 0x80}));
}

TEST(Utf8Encode, AppendKeepsWhatIsThere) {
  std::string out = "abc";
  Utf8EncodeAppend(u"d\u0416\u20ACe", out);
  EXPECT_EQ(out, "abc" + Bytes({'d', 0xD0, 0x96, 0xE2, 0x82, 0xAC, 'e'}));
  Utf8EncodeAppend(u"", out);
  EXPECT_EQ(out.size(), 10u);
}

TEST(Utf8Encode, AsciiFastPathMixedWithOthersAtEveryOffset) {
  // Non-ASCII units at every position of a longer text exercise the 4-unit fast path.
  for (size_t pos = 0; pos < 20; ++pos) {
    WideString w(20, u'a');
    w[pos] = 0x00E9;
    std::string expect(pos, 'a');
    expect += Bytes({0xC3, 0xA9});
    expect += std::string(19 - pos, 'a');
    EXPECT_EQ(Utf8Encode(w), expect) << pos;
    // A unit with only its high byte set must not pass for ASCII.
    w[pos] = 0x0100;
    EXPECT_EQ(Utf8Encode(w).size(), 21u) << pos;
  }
}

// --- Exchange UTF-8: decoding --------------------------------------------------------

TEST(Utf8Decode, SpecExamples) {
  EXPECT_EQ(Utf8Decode(Bytes({0xD0, 0x9F})), u"\u041F");
  EXPECT_EQ(Utf8Decode(Bytes({0xD0})), u"");
  EXPECT_EQ(Utf8Decode(Bytes({0xD0, 0x41})), u"");
  EXPECT_EQ(Utf8Decode(""), u"");
}

TEST(Utf8Decode, EveryUnitRoundTrips) {
  WideString all;
  for (unsigned u = 0; u < 0x10000; ++u) all += static_cast<char16_t>(u);
  EXPECT_EQ(Utf8Decode(Utf8Encode(all)), all);
  EXPECT_EQ(Utf8Decode(Utf8Encode(u"\U0001F600x")), u"\U0001F600x");
}

TEST(Utf8Decode, MalformedOrTruncatedMakesTheWholeResultEmpty) {
  EXPECT_EQ(Utf8Decode("abc" + Bytes({0xE2, 0x82})), u"");  // truncated three-byte
  EXPECT_EQ(Utf8Decode("abc" + Bytes({0xE2})), u"");        // lone lead at the end
  EXPECT_EQ(Utf8Decode(Bytes({0xE2, 0x82, 0x41})), u"");    // bad third byte
  EXPECT_EQ(Utf8Decode(Bytes({0xE2, 0x41, 0x82})), u"");    // bad second byte
  EXPECT_EQ(Utf8Decode(Bytes({0xD0, 0xC0})), u"");          // lead where trail due
  EXPECT_EQ(Utf8Decode(Bytes({0xD0, 0x9F, 0xD0})), u"");    // good, then truncated
  // Malformed byte behind a long ASCII run (the 8-byte fast path).
  std::string text(13, 'x');
  text += Bytes({0xC3, 0x28});
  text += std::string(20, 'y');
  EXPECT_EQ(Utf8Decode(text), u"");
}

TEST(Utf8Decode, StandardBmpCheckAcceptsOnlyWhatBothDecodersReadAlike) {
  EXPECT_TRUE(IsStandardBmpUtf8(""));
  EXPECT_TRUE(IsStandardBmpUtf8("plain ascii, longer than one eight-byte step"));
  EXPECT_TRUE(IsStandardBmpUtf8(
      Bytes({0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xED, 0x9F, 0xBF, 0xEF, 0xBF, 0xBF})));
  EXPECT_FALSE(IsStandardBmpUtf8(Bytes({0xC0, 0x80})));                  // overlong NUL
  EXPECT_FALSE(IsStandardBmpUtf8(Bytes({0xC1, 0xBF})));                  // overlong
  EXPECT_FALSE(IsStandardBmpUtf8(Bytes({0xE0, 0x9F, 0xBF})));            // overlong three-byte
  EXPECT_FALSE(IsStandardBmpUtf8(Bytes({0xED, 0xA0, 0xBD})));            // encoded surrogate
  EXPECT_FALSE(IsStandardBmpUtf8(Bytes({0xF0, 0x9F, 0x98, 0x80})));      // four-byte sequence
  EXPECT_FALSE(IsStandardBmpUtf8(Bytes({0x80})));                        // stray trail byte
  EXPECT_FALSE(IsStandardBmpUtf8(std::string(9, 'x') + Bytes({0xD0})));  // truncated
  EXPECT_FALSE(IsStandardBmpUtf8(std::string(9, 'x') + Bytes({0xE2, 0x82})));  // truncated
  EXPECT_FALSE(IsStandardBmpUtf8(Bytes({0xD0, 0x41})));  // lead without its trail
  // Whatever passes reads the same through the exchange decoder and a standard one.
  std::mt19937 rng(7);
  const int pool[] = {0x41, 0x3C, 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xD0, 0xDF, 0xE0, 0xED, 0xEF, 0xF0};
  int passed = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string b;
    int n = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) b += static_cast<char>(pool[rng() % std::size(pool)]);
    if (!IsStandardBmpUtf8(b)) continue;
    ++passed;
    ASSERT_EQ(Utf8Decode(b), WideFromUtf8(b)) << round;
  }
  EXPECT_GT(passed, 100);
}

TEST(Utf8Decode, FourByteLeadIsReadAsThreeByteLead) {
  // F0 9F 98: (0xF0 AND 0x0F) << 12 | 0x1F << 6 | 0x18 = U+07D8.
  EXPECT_EQ(Utf8Decode(Bytes({0xF0, 0x9F, 0x98})), Units({0x07D8}));
  EXPECT_EQ(Utf8Decode(Bytes({0xF4, 0x80, 0x80})), Units({0x4000}));
  // So a real four-byte sequence leaves a stray trail byte that has no trail of its own.
  EXPECT_EQ(Utf8Decode(Bytes({0xF0, 0x9F, 0x98, 0x80})), u"");
  EXPECT_EQ(Utf8Decode(Bytes({0xF0, 0x9F, 0x98, 0x80, 0x80})), Units({0x07D8, 0x0000}));
}

TEST(Utf8Decode, LeadBytesAreNotCheckedBeyondBit5) {
  // The rules look at bit 5 only: overlong forms and trail bytes used as leads decode.
  EXPECT_EQ(Utf8Decode(Bytes({0xC0, 0x80})), Units({0x0000}));
  EXPECT_EQ(Utf8Decode(Bytes({0xC1, 0xBF})), Units({0x007F}));
  EXPECT_EQ(Utf8Decode(Bytes({0x80, 0x81})), Units({0x0001}));
  EXPECT_EQ(Utf8Decode(Bytes({0xA0, 0x80, 0x80})), Units({0x0000}));
  EXPECT_EQ(Utf8Decode(Bytes({0xFF, 0xBF, 0xBF})), Units({0xFFFF}));
  // Encoded surrogates decode to the surrogate units.
  EXPECT_EQ(Utf8Decode(Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})), u"\U0001F600");
}

TEST(Utf8Decode, RandomTextsRoundTrip) {
  std::mt19937 rng(5);
  for (int round = 0; round < 500; ++round) {
    WideString w(rng() % 100, u'\0');
    for (auto& c : w) {
      switch (rng() % 4) {
        case 0: c = static_cast<char16_t>(rng() % 0x80); break;
        case 1: c = static_cast<char16_t>(0x80 + rng() % 0x780); break;
        default: c = static_cast<char16_t>(rng() % 0x10000); break;
      }
    }
    ASSERT_EQ(Utf8Decode(Utf8Encode(w)), w);
  }
}

// --- Standard UTF-8 --------------------------------------------------------------------

TEST(StandardUtf8, SurrogatePairsCombine) {
  EXPECT_EQ(Utf8FromWide(u"\U0001F600"), Bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(WideFromUtf8(Bytes({0xF0, 0x9F, 0x98, 0x80})), u"\U0001F600");
  EXPECT_EQ(Utf8FromWide(u"\u041F\u20AC"), Utf8Encode(u"\u041F\u20AC"));
  EXPECT_EQ(Utf8FromWide(Units({0xD800, 'a'})), Bytes({0xEF, 0xBF, 0xBD, 'a'}));
  EXPECT_EQ(Utf8FromWide(Units({0xDC00})), Bytes({0xEF, 0xBF, 0xBD}));
}

TEST(StandardUtf8, LoneSurrogatesAndPairsAtEveryPlaceTakeTheirLength) {
  // The result is sized before it is written: each case lands a pair or a lone
  // surrogate where the sizing and the writing could see it differently.
  const std::string fffd = Bytes({0xEF, 0xBF, 0xBD});
  const std::string pair = Bytes({0xF0, 0x9F, 0x98, 0x80});
  const struct {
    WideString text;
    std::string utf8;
  } cases[] = {
      {Units({'a', 'b', 'c', 0xD83D}), "abc" + fffd},
      {Units({0xD83D, 0xD83D, 0xDE00}), fffd + pair},
      {Units({0xDE00, 0xD83D}), fffd + fffd},
      {Units({'a', 'b', 'c', 0xD83D, 0xDE00, 'd', 'e', 'f', 'g'}), "abc" + pair + "defg"},
      {Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}),
       Bytes({0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF})},
  };
  for (const auto& c : cases) {
    const std::string utf8 = Utf8FromWide(c.text);
    EXPECT_EQ(utf8, c.utf8);
  }
  // A large ASCII text holds about its own size, not three bytes a unit.
  const std::string large = Utf8FromWide(WideString(1 << 20, u'x'));
  EXPECT_EQ(large.size(), size_t{1} << 20);
  EXPECT_LT(large.capacity(), large.size() + large.size() / 2);
}

TEST(StandardUtf8, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(WideFromUtf8(Bytes({'a', 0xFF, 'b'})), u"a\uFFFDb");
  EXPECT_EQ(WideFromUtf8(Bytes({0xC0, 0x80})), u"\uFFFD\uFFFD");              // overlong
  EXPECT_EQ(WideFromUtf8(Bytes({0xED, 0xA0, 0x80})), u"\uFFFD\uFFFD\uFFFD");  // surrogate
  EXPECT_EQ(WideFromUtf8(Bytes({0xE2, 0x82})), u"\uFFFD");                    // truncated
  EXPECT_EQ(WideFromUtf8(Bytes({0xE2, 0x82, 'x'})), u"\uFFFDx");
  EXPECT_EQ(WideFromUtf8(Bytes({0xF4, 0x90, 0x80, 0x80})), u"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(StandardUtf8, RandomRoundTrip) {
  std::mt19937 rng(11);
  for (int round = 0; round < 500; ++round) {
    std::u32string cps(rng() % 50, U'\0');
    WideString w;
    for (auto& cp : cps) {
      do cp = static_cast<char32_t>(rng() % 0x110000);
      while (cp >= 0xD800 && cp <= 0xDFFF);
      if (cp >= 0x10000) {
        w += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        w += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        w += static_cast<char16_t>(cp);
      }
    }
    ASSERT_EQ(WideFromUtf8(Utf8FromWide(w)), w);
  }
}

TEST(StandardUtf8, ClientTextIsCheckedForTheFirstInvalidByte) {
  const std::string ascii9 = "abcdefghi";  // past the eight-byte step
  struct Case {
    std::string text;
    size_t bad;
  } cases[] = {
      {"", std::string::npos},
      {ascii9 + "\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80", std::string::npos},
      {"\xF4\x8F\xBF\xBF", std::string::npos},  // U+10FFFF
      {ascii9 + "\xFF", 9},
      {"a\xC0\x80", 1},  // longer than needed
      {"ab\xE0\x80\x80", 2},
      {"\xF0\x80\x80\x80", 0},
      {"\xD0\x96\xED\xA0\xBD\xED\xB8\x80", 2},  // surrogates, even paired
      {"\xF4\x90\x80\x80", 0},                  // beyond U+10FFFF
      {"xy\xE2\x82", 2},                        // cut short
      {"\xE2\x82x", 0},
      {"\x80", 0},
      // Runs of two-byte sequences, and what breaks one.
      {"\xD0\x9F\xD1\x80\xD0\xB8", std::string::npos},
      {"\xD0\x9F\xD1\x80\xD0", 4},
      {"\xD0\x9F\xD1\x80\xC1\xBF", 4},  // longer than needed
      {"\xD0\x9F\xD1\x80\xD0x", 4},
      {"\xD0\x9F\xDF\xBF\xE0\xA0\x80\xD0\x80\xBF", 9},
  };
  for (const Case& c : cases) EXPECT_EQ(InvalidUtf8Offset(c.text), c.bad) << c.text;
  // A bad byte at every place of and around the 32- and 8-byte ASCII steps.
  for (size_t at = 0; at < 80; ++at) {
    std::string text(80, 'a');
    text[at] = '\xFF';
    EXPECT_EQ(InvalidUtf8Offset(text), at);
    EXPECT_FALSE(Lumo::Base::IsStandardBmpUtf8(text)) << at;
  }
}

// The rule the word-at-a-time paths are held to: one sequence at a time, as RFC 3629 has
// it; the offset is where the first sequence that breaks it starts.
size_t OneSequenceAtATime(std::string_view t) {
  for (size_t i = 0; i < t.size();) {
    const unsigned b = static_cast<unsigned char>(t[i]);
    size_t length = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : 4;
    if (b >= 0xF5 || (b >= 0x80 && b < 0xC2) || t.size() - i < length) return i;
    uint32_t cp = b & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      const unsigned c = static_cast<unsigned char>(t[i + k]);
      if ((c & 0xC0) != 0x80) return i;
      cp = cp << 6 | (c & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return i;
    i += length;
  }
  return std::string::npos;
}

TEST(StandardUtf8, WordAtATimeChecksAgreeWithOneSequenceAtATime) {
  // Cyrillic words of every length around the eight-byte step, ASCII between them, a
  // three-byte character; every byte in turn replaced by one that breaks or changes a
  // sequence, and every prefix (sequences cut short).
  const std::string base =
      "Оплата по договору № 15 от 01.02.2026: сумма 1234,56 руб. ПРИВЕТСТВУЮЩИЙ а бв где ёжик €";
  std::vector<std::string> texts;
  for (size_t at = 0; at < base.size(); ++at) {
    texts.push_back(base.substr(0, at));
    for (unsigned char b :
         {0x20, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xD0, 0xDF, 0xE0, 0xED, 0xF0, 0xFF}) {
      texts.push_back(base);
      texts.back()[at] = static_cast<char>(b);
    }
  }
  for (const std::string& t : texts) {
    const size_t expected = OneSequenceAtATime(t);
    ASSERT_EQ(InvalidUtf8Offset(t), expected) << t;
    const bool bmp = expected == std::string::npos &&
                     std::none_of(t.begin(), t.end(), [](char c) { return (c & 0xF8) == 0xF0; });
    ASSERT_EQ(Lumo::Base::IsStandardBmpUtf8(t), bmp) << t;
  }
}

TEST(ResultUtf8, SurrogatePairsJoinIntoFourByteSequences) {
  const std::string pair = Utf8Encode(u"\U0001F600"), high = pair.substr(0, 3),
                    low = pair.substr(3);
  const std::string four = Utf8FromWide(u"\U0001F600");
  const std::string far = Utf8Encode(u"\U0010FFFF\U00010000");
  struct Case {
    std::string in, out;
    size_t open;
  } cases[] = {
      {"a" + pair + "\xD0\x96" + pair + pair + "z", "a" + four + "\xD0\x96" + four + four + "z", 0},
      {far, Utf8FromWide(u"\U0010FFFF\U00010000"), 0},
      {"\xED\x9F\xBF" + low, "\xED\x9F\xBF" + low, 0},  // U+D7FF is no surrogate
      {low + high + "x", low + high + "x", 0},          // wrong order: left as they are
      {high + high + low, high + four, 0},
      {"x" + pair + high, "x" + four + high, 3},  // its partner may come next
      {high, high, 3},
      {"\xED\xA0", "\xED\xA0", 0},
  };
  for (const Case& c : cases) {
    std::string bytes = c.in;
    EXPECT_EQ(JoinEncodedSurrogatePairs(bytes), c.open) << c.in;
    EXPECT_EQ(bytes, c.out) << c.in;
  }
  // Bytes before `from` are left alone.
  std::string bytes = pair + pair;
  EXPECT_EQ(JoinEncodedSurrogatePairs(bytes, 6), 0u);
  EXPECT_EQ(bytes, pair + four);
}

#ifndef _WIN32
TEST(AnsiText, IsUtf8OnPosix) {
  EXPECT_EQ(WideToAnsi(u"\u041F\u0440\u0438\u0432\u0435\u0442 \U0001F600"),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80");
  EXPECT_EQ(AnsiToWide("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"),
            u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(AnsiToWide(""), u"");
}
#endif

// --- Code pages ------------------------------------------------------------------------

TEST(CodePages, Cp1251) {
  EXPECT_EQ(AnsiToWideCP("\xC0", 1251), u"\u0410");
  EXPECT_EQ(AnsiToWideCP("\xA8\xB8", 1251), u"\u0401\u0451");
  EXPECT_EQ(AnsiToWideCP("\xB9", 1251), u"\u2116");
  EXPECT_EQ(AnsiToWideCP("\x88", 1251), u"\u20AC");
  EXPECT_EQ(AnsiToWideCP("\xCF\xF0\xE8\xE2\xE5\xF2, world", 1251),
            u"\u041F\u0440\u0438\u0432\u0435\u0442, world");
  const char16_t* t = CodePageTable(1251);
  ASSERT_NE(t, nullptr);
  for (int b = 0xC0; b <= 0xFF; ++b) EXPECT_EQ(t[b], 0x0410 + (b - 0xC0)) << b;
  EXPECT_EQ(t[0x98], 0xFFFD);
  for (int b = 0x80; b <= 0xFF; ++b)
    if (b != 0x98) EXPECT_NE(t[b], 0xFFFD) << b;
}

TEST(CodePages, Cp1252) {
  const char16_t* t = CodePageTable(1252);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t[0x80], 0x20AC);
  EXPECT_EQ(t[0x8A], 0x0160);
  EXPECT_EQ(t[0x9F], 0x0178);
  EXPECT_EQ(t[0xE9], 0x00E9);
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(t[b], 0xFFFD) << b;
  int undefined = 0;
  for (int b = 0; b < 256; ++b) undefined += t[b] == 0xFFFD;
  EXPECT_EQ(undefined, 5);
}

TEST(CodePages, Koi8r) {
  EXPECT_EQ(AnsiToWideCP("\xF0\xD2\xC9\xD7\xC5\xD4", 20866),
            u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(AnsiToWideCP("\xB3\xA3", 20866), u"\u0401\u0451");
}

TEST(CodePages, Cp866) {
  EXPECT_EQ(AnsiToWideCP("\x8F\xE0\xA8\xA2\xA5\xE2", 866), u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(AnsiToWideCP("\xF0\xF1\xFC", 866), u"\u0401\u0451\u2116");
  EXPECT_EQ(AnsiToWideCP("\xC9\xCD\xBB", 866), u"\u2554\u2550\u2557");
}

TEST(CodePages, Iso8859_5And1AndAscii) {
  EXPECT_EQ(AnsiToWideCP("\xBF\xE0\xD8\xD2\xD5\xE2", 28595),
            u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(AnsiToWideCP("\xA1\xF1\xF0", 28595), u"\u0401\u0451\u2116");
  EXPECT_EQ(AnsiToWideCP("caf\xE9", 28591), u"caf\u00E9");
  const char16_t* a = CodePageTable(20127);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a[0x41], u'A');
  for (int b = 0x80; b < 256; ++b) EXPECT_EQ(a[b], 0xFFFD) << b;
}

TEST(CodePages, EveryCyrillicTableHoldsTheRussianAlphabetOnce) {
  for (uint32_t cp : {1251u, 866u, 20866u, 28595u}) {
    const char16_t* t = CodePageTable(cp);
    ASSERT_NE(t, nullptr) << cp;
    std::map<char16_t, int> seen;
    for (int b = 0; b < 256; ++b) {
      EXPECT_EQ(t[b] == 0, b == 0) << cp << " " << b;
      if (b < 0x80) EXPECT_EQ(t[b], b) << cp;
      seen[t[b]]++;
    }
    for (char16_t c = 0x0410; c <= 0x044F; ++c) EXPECT_EQ(seen[c], 1) << cp << " " << int(c);
    EXPECT_EQ(seen[0x0401], 1) << cp;
    EXPECT_EQ(seen[0x0451], 1) << cp;
  }
  EXPECT_EQ(CodePageTable(1250), nullptr);
  EXPECT_EQ(CodePageTable(65001), nullptr);
}

TEST(CodePages, AnsiToWideCpOtherCases) {
  EXPECT_EQ(AnsiToWideCP("", 1251), u"");
  EXPECT_EQ(AnsiToWideCP("\xD0\x9F", 65001), u"\u041F");
#ifndef _WIN32
  EXPECT_EQ(AnsiToWideCP("abc", 12345), u"");  // unknown code page: the conversion fails
#endif
}

TEST(CodePages, FromName) {
  EXPECT_EQ(CodePageFromName("UTF-8"), 65001u);
  EXPECT_EQ(CodePageFromName("utf-8"), 65001u);
  EXPECT_EQ(CodePageFromName("UTF-16"), 1200u);
  EXPECT_EQ(CodePageFromName("utf-16le"), 1200u);
  EXPECT_EQ(CodePageFromName("UTF-16BE"), 1201u);
  EXPECT_EQ(CodePageFromName("Windows-1251"), 1251u);
  EXPECT_EQ(CodePageFromName("CP1251"), 1251u);
  EXPECT_EQ(CodePageFromName("windows-1252"), 1252u);
  EXPECT_EQ(CodePageFromName("cp1252"), 1252u);
  EXPECT_EQ(CodePageFromName("KOI8-R"), 20866u);
  EXPECT_EQ(CodePageFromName("cp866"), 866u);
  EXPECT_EQ(CodePageFromName("IBM866"), 866u);
  EXPECT_EQ(CodePageFromName("866"), 866u);
  EXPECT_EQ(CodePageFromName("ISO-8859-1"), 28591u);
  EXPECT_EQ(CodePageFromName("latin1"), 28591u);
  EXPECT_EQ(CodePageFromName("iso-8859-5"), 28595u);
  EXPECT_EQ(CodePageFromName("US-ASCII"), 20127u);
  EXPECT_EQ(CodePageFromName("ascii"), 20127u);
  EXPECT_EQ(CodePageFromName("ebcdic"), 0u);
  EXPECT_EQ(CodePageFromName(""), 0u);
  EXPECT_EQ(CodePageFromName("windows-1251-and-more-text-that-is-long"), 0u);
}

TEST(CodePages, LocaleCodePage) {
  EXPECT_EQ(LocaleCodePage(0x0419), 1251u);  // ru-RU
  EXPECT_EQ(LocaleCodePage(0x0409), 1252u);  // en-US
  EXPECT_EQ(LocaleCodePage(0x0407), 1252u);  // de-DE
  for (uint32_t lcid : {0x0423u, 0x0422u, 0x0402u, 0x0C1Au, 0x042Fu, 0x043Fu})
    EXPECT_EQ(LocaleCodePage(lcid), 1251u) << std::hex << lcid;
  for (uint32_t lcid : {0x0405u, 0x0415u, 0x040Eu, 0x041Bu, 0x0424u, 0x041Au})
    EXPECT_EQ(LocaleCodePage(lcid), 1250u) << std::hex << lcid;
  EXPECT_EQ(LocaleCodePage(0x0408), 1253u);  // el-GR
  EXPECT_EQ(LocaleCodePage(0x041F), 1254u);  // tr-TR
  EXPECT_EQ(LocaleCodePage(0x0411), 932u);   // ja-JP
#ifndef _WIN32
  EXPECT_EQ(LocaleCodePage(0x1234), 65001u);  // unknown: the system ANSI code page (UTF-8)
  EXPECT_EQ(LocaleCodePage(0x081A), 1250u);   // sr-Latn-CS is Latin (1250), as Windows says
#endif
  EXPECT_NE(LocaleCodePage(ThreadLocale()), 0u);
}

// --- Wide text routines ----------------------------------------------------------------

TEST(WideStringReplace, ReplacesEveryOccurrence) {
  EXPECT_EQ(WideStringReplace(u"a\"b\"c", u"\"", u"&quot;", rfReplaceAll), u"a&quot;b&quot;c");
  EXPECT_EQ(WideStringReplace(u"", u"\"", u"&quot;", rfReplaceAll), u"");
  EXPECT_EQ(WideStringReplace(u"\"\"", u"\"", u"&quot;", rfReplaceAll), u"&quot;&quot;");
}

TEST(WideStringReplace, FirstOnlyWithoutReplaceAll) {
  EXPECT_EQ(WideStringReplace(u"x.x.x", u".", u"-", 0), u"x-x.x");
}

TEST(WideStringReplace, NoOverlapAndNoRescan) {
  EXPECT_EQ(WideStringReplace(u"aaaa", u"aa", u"a", rfReplaceAll), u"aa");
  EXPECT_EQ(WideStringReplace(u"aaa", u"aa", u"b", rfReplaceAll), u"ba");
  EXPECT_EQ(WideStringReplace(u"&<", u"&", u"&amp;", rfReplaceAll), u"&amp;<");
  EXPECT_EQ(WideStringReplace(u"aaa", u"a", u"aa", rfReplaceAll), u"aaaaaa");
}

TEST(WideStringReplace, IgnoreCase) {
  EXPECT_EQ(WideStringReplace(u"aXbxc", u"x", u"-", rfReplaceAll | rfIgnoreCase), u"a-b-c");
  EXPECT_EQ(WideStringReplace(u"aXbxc", u"x", u"-", rfIgnoreCase), u"a-bxc");
  EXPECT_EQ(WideStringReplace(u"aXbxc", u"x", u"-", rfReplaceAll), u"aXb-c");
  EXPECT_EQ(WideStringReplace(u"\u0401\u0436 \u0451\u0416", u"\u0451\u0436", u"!",
                              rfReplaceAll | rfIgnoreCase),
            u"! !");
}

TEST(WideStringReplace, EdgeCases) {
  EXPECT_EQ(WideStringReplace(u"abc", u"", u"x", rfReplaceAll), u"abc");
  EXPECT_EQ(WideStringReplace(u"ab", u"abc", u"x", rfReplaceAll), u"ab");
  EXPECT_EQ(WideStringReplace(u"abc", u"c", u"", rfReplaceAll), u"ab");
  EXPECT_EQ(WideStringReplace(u"abc", u"abc", u"z", rfReplaceAll), u"z");
}

TEST(WideBuffers, SizePrefixAndCopies) {
  char16_t* s = WideStrNew(u"hello");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(WideStrLen(s), 5u);
  EXPECT_EQ(WideView(s), u"hello");
  uint32_t recorded;
  memcpy(&recorded, reinterpret_cast<char*>(s) - 4, 4);
  EXPECT_EQ(recorded, 4u + 2u * 6u);
  WideStrDispose(s);

  char16_t* a = WideStrAlloc(10);
  memcpy(&recorded, reinterpret_cast<char*>(a) - 4, 4);
  EXPECT_EQ(recorded, 4u + 20u);
  EXPECT_EQ(WideStrLen(a), 0u);
  WideStrDispose(a);

  EXPECT_EQ(WideStrNew(nullptr), nullptr);
  char16_t* e = WideStrNew(u"");
  EXPECT_EQ(WideStrLen(e), 0u);
  WideStrDispose(e);
  WideStrDispose(nullptr);
  EXPECT_EQ(WideStrLen(nullptr), 0u);
}
