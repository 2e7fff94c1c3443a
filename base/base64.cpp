// Base64: the standard alphabet with "=" pads, never broken into lines, and
// the exchange's lenient decoder.
//
// Decoding, as specified:
//   - At a position where a group would start, a tab, line feed, carriage return or
//     space is skipped by itself. Any other character starts a group made of it and the
//     next three characters, taken as they are (white space inside a group is data).
//   - Characters are looked up in the decoding table: the alphabet gives 0..63, "="
//     gives 64, everything else 255. Nothing is checked: a 255 contributes its masked
//     bits as if it were "/".
//   - A group writes one byte; a second one unless the third value is exactly 64; a
//     third one unless the third or the fourth value is exactly 64. A pad group inside
//     the text does not end decoding: the next group follows four positions later.
//
// Choices left to the implementer (tested in tests/base/base64_test.cpp):
//   - Short final group: when fewer than four characters are left at a group start, the
//     missing characters count as pads (value 64). Nothing past the end of the input is
//     ever read. So "QQ" decodes like "QQ==" (one byte), "QUI" like "QUI=" (two bytes),
//     and a single character "Q" like "Q===" (one byte formed from Q and a pad).
//   - Characters 128..255 lie outside the specified 128-entry table; they take the value
//     255, like every other character outside the alphabet.
#include "base/base64.h"

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

namespace Lumo::Base {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The decoding table, extended to 256 entries: 128..255 take 255 (see above).
constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 255;
  for (int i = 0; i < 64; ++i)
    t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
  t['='] = 64;
  return t;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

// The four values of a group put where their bits go in the three bytes, laid out as a
// little-endian word (byte 0 lowest): OR-ing one entry per character gives the group's
// bytes at once. Any character outside the alphabet ("=" included) sets bit 24 instead,
// so that a group that is not clean is told by one test.
struct GroupTables {
  uint32_t at[4][256];
  constexpr GroupTables() : at() {
    constexpr uint32_t kNotClean = 1u << 24;
    for (int c = 0; c < 256; ++c) {
      const uint32_t v = kDecode[static_cast<size_t>(c)];
      const bool clean = v < 64;
      at[0][c] = clean ? v << 2 : kNotClean;
      at[1][c] = clean ? (v >> 4) | ((v & 15) << 12) : kNotClean;
      at[2][c] = clean ? ((v >> 2) << 8) | ((v & 3) << 22) : kNotClean;
      at[3][c] = clean ? v << 16 : kNotClean;
    }
  }
};
constexpr GroupTables kGroup;

// 1 when the character is one of Base64 text (the alphabet or "="), else 0. Every step
// stays in the character's own width and nothing branches, so that a loop over a block
// of characters is vectorised ("+" and "/" differ in one bit: c | 4 is "/" for both).
template <class U>
inline U IsBase64TextChar(U c) noexcept {
  const U letter = static_cast<U>(static_cast<U>(c | 0x20) - U('a')) < U(26);
  const U digit = static_cast<U>(c - U('0')) < U(10);
  const U sign = static_cast<U>(static_cast<U>(c | 4) == U('/')) | static_cast<U>(c == U('='));
  return static_cast<U>(letter | digit | sign);
}

template <class Char>
size_t TextLength(const Char* text, size_t n) noexcept {
  using U = std::make_unsigned_t<Char>;
  const U* s = reinterpret_cast<const U*>(text);
  // Whole blocks are checked without a branch per character; the block that holds the
  // end of the run is walked one character at a time.
  constexpr int kBlock = 64;
  size_t i = 0;
  while (n - i >= kBlock) {
    U all = 1;
    for (int k = 0; k < kBlock; ++k) all &= IsBase64TextChar(s[i + static_cast<size_t>(k)]);
    if (!all) break;
    i += kBlock;
  }
  while (i < n && IsBase64TextChar(s[i])) ++i;
  return i;
}

// Two output characters for every 12-bit value, as one 16-bit unit in memory order.
struct PairTable {
  char pair[4096][2];
  constexpr PairTable() : pair() {
    for (int v = 0; v < 4096; ++v) {
      pair[v][0] = kAlphabet[v >> 6];
      pair[v][1] = kAlphabet[v & 63];
    }
  }
};
constexpr PairTable kPairs;

inline bool IsGroupSpace(unsigned char c) noexcept {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// Writes the bytes of one group whose values are a, b, c, d; returns the new end.
inline unsigned char* DecodeGroup(unsigned a, unsigned b, unsigned c, unsigned d,
                                  unsigned char* out) noexcept {
  *out++ = static_cast<unsigned char>(((a & 63) << 2) + ((b & 48) >> 4));
  if (c != 64) {
    *out++ = static_cast<unsigned char>(((b & 15) << 4) + ((c & 60) >> 2));
    if (d != 64) *out++ = static_cast<unsigned char>(((c & 3) << 6) + (d & 63));
  }
  return out;
}

// Upper bound of the decoded size: three bytes per started group of four characters.
inline size_t DecodedBound(size_t chars) noexcept { return (chars / 4) * 3 + 3; }

// Decodes text into out (at least DecodedBound bytes); returns the number written.
size_t DecodeInto(std::string_view text, unsigned char* const start) noexcept {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  unsigned char* out = start;
  size_t i = 0;
  while (i < n) {
    // Clean groups of four alphabet characters, as many as follow each other. On a
    // little-endian machine the group's word is stored whole: its fourth byte lands where
    // the next group's first goes, inside the three bytes of room DecodedBound keeps, and
    // in place it overwrites only characters of the group just read.
    while (n - i >= 4) {
      const uint32_t w = kGroup.at[0][s[i]] | kGroup.at[1][s[i + 1]] | kGroup.at[2][s[i + 2]] |
                         kGroup.at[3][s[i + 3]];
      if (w >> 24) break;
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &w, 4);
      } else {
        out[0] = static_cast<unsigned char>(w);
        out[1] = static_cast<unsigned char>(w >> 8);
        out[2] = static_cast<unsigned char>(w >> 16);
      }
      out += 3;
      i += 4;
    }
    if (i >= n) break;
    if (IsGroupSpace(s[i])) {
      ++i;
      continue;
    }
    const size_t left = n - i;
    const unsigned a = kDecode[s[i]];
    const unsigned b = left > 1 ? kDecode[s[i + 1]] : 64u;
    const unsigned c = left > 2 ? kDecode[s[i + 2]] : 64u;
    const unsigned d = left > 3 ? kDecode[s[i + 3]] : 64u;
    out = DecodeGroup(a, b, c, d, out);
    i += left >= 4 ? 4 : left;
  }
  return static_cast<size_t>(out - start);
}

}  // namespace

AnsiString EncodeBase64Group(const uint8_t* bytes, size_t count) {
  if (count == 0 || bytes == nullptr) return {};
  if (count > 3) count = 3;
  const uint32_t v = (uint32_t{bytes[0]} << 16) | (count > 1 ? uint32_t{bytes[1]} << 8 : 0u) |
                     (count > 2 ? uint32_t{bytes[2]} : 0u);
  AnsiString r(4, '=');
  r[0] = kAlphabet[(v >> 18) & 63];
  r[1] = kAlphabet[(v >> 12) & 63];
  if (count > 1) r[2] = kAlphabet[(v >> 6) & 63];
  if (count > 2) r[3] = kAlphabet[v & 63];
  return r;
}

namespace {

// The encoding of n bytes written at d (Base64Length(n) units of Char): two characters
// at a time from the pair table, the last group padded.
template <class Char>
void EncodeInto(const unsigned char* s, size_t n, Char* d) {
  size_t i = 0;
  for (; n - i >= 3; i += 3) {
    const uint32_t v = (uint32_t{s[i]} << 16) | (uint32_t{s[i + 1]} << 8) | s[i + 2];
    const char* high = kPairs.pair[v >> 12];
    const char* low = kPairs.pair[v & 0xFFF];
    if constexpr (sizeof(Char) == 1) {
      // One four-byte store: stores through char may alias anything, so four single ones
      // would each make the compiler read the source and the table again.
      char four[4];
      std::memcpy(four, high, 2);
      std::memcpy(four + 2, low, 2);
      std::memcpy(d, four, 4);
    } else {
      d[0] = static_cast<Char>(high[0]);
      d[1] = static_cast<Char>(high[1]);
      d[2] = static_cast<Char>(low[0]);
      d[3] = static_cast<Char>(low[1]);
    }
    d += 4;
  }
  if (i < n) {
    const AnsiString last = EncodeBase64Group(s + i, n - i);
    for (int k = 0; k < 4; ++k) d[k] = static_cast<Char>(last[static_cast<size_t>(k)]);
  }
}

}  // namespace

AnsiString EncodeBase64(std::string_view bytes) {
  const size_t n = bytes.size();
  if (n == 0) return {};
  AnsiString out(Base64Length(n), '\0');  // sized once
  EncodeInto(reinterpret_cast<const unsigned char*>(bytes.data()), n, out.data());
  return out;
}

void EncodeBase64To(std::string_view bytes, char16_t* out) {
  EncodeInto(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
}

void EncodeBase64To(std::string_view bytes, char* out) {
  EncodeInto(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
}

size_t Base64TextLength(std::string_view text) noexcept {
  return TextLength(text.data(), text.size());
}

size_t Base64TextLength(WideView text) noexcept { return TextLength(text.data(), text.size()); }

ByteString DecodeBase64(std::string_view text) {
  ByteString out;
  DecodeBase64Append(text, out);
  return out;
}

void DecodeBase64Append(std::string_view text, ByteString& out) {
  if (text.empty()) return;
  const size_t at = out.size();
  out.resize(at + DecodedBound(text.size()));
  out.resize(at + DecodeInto(text, reinterpret_cast<unsigned char*>(out.data() + at)));
}

void DecodeBase64ToStream(std::string_view text, TMemoryStream& stream) {
  if (text.empty()) return;
  const ByteString bytes = DecodeBase64(text);
  stream.Write(bytes.data(), bytes.size());
}

ByteString DecodeBase64InPlace(AnsiString text) {
  // Each group of four characters read gives at most three bytes, written after the
  // group is read: the output never overtakes the input.
  unsigned char* start = reinterpret_cast<unsigned char*>(text.data());
  text.resize(DecodeInto(text, start));
  return text;
}

}  // namespace Lumo::Base
