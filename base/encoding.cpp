// UTF-8 in both forms (the exchange's, which signed bytes use, and the standard one for
// messages and results) and ANSI text.
#include "base/encoding.h"

#include <cstring>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace Lumo::Base {

namespace {

inline uint64_t Load64(const void* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Where the four units at p are ASCII, writes them as four bytes at d (the writers' fast
// path for the ASCII that most documents are made of).
inline bool FourAsciiUnits(const char16_t* p, char* d) noexcept {
  if ((Load64(p) & 0xFF80FF80FF80FF80ull) != 0) return false;
  d[0] = static_cast<char>(p[0]);
  d[1] = static_cast<char>(p[1]);
  d[2] = static_cast<char>(p[2]);
  d[3] = static_cast<char>(p[3]);
  return true;
}

// Where the eight bytes at s are ASCII, writes them as eight units at d (the readers'
// fast path).
inline bool EightAsciiBytes(const unsigned char* s, char16_t* d) noexcept {
  if ((Load64(s) & 0x8080808080808080ull) != 0) return false;
  for (int k = 0; k < 8; ++k) d[k] = s[k];
  return true;
}

// Writes the exchange's UTF-8 form of [p, p + n) at d; returns the end.
inline char* Utf8ExchangeWrite(const char16_t* p, size_t n, char* d) noexcept {
  size_t i = 0;
  while (i < n) {
    // Four ASCII units at a time.
    if (n - i >= 4 && FourAsciiUnits(p + i, d)) {
      d += 4;
      i += 4;
      continue;
    }
    const unsigned u = p[i++];
    if (u < 0x80) {
      *d++ = static_cast<char>(u);
    } else if (u < 0x800) {
      d[0] = static_cast<char>(0xC0 + (u >> 6));
      d[1] = static_cast<char>(0x80 + (u & 0x3F));
      d += 2;
      // Cyrillic comes in words: the rest of a two-byte run without the ASCII test.
      for (unsigned v; i < n && (v = p[i]) - 0x80u < 0x780u; ++i) {
        d[0] = static_cast<char>(0xC0 + (v >> 6));
        d[1] = static_cast<char>(0x80 + (v & 0x3F));
        d += 2;
      }
    } else {
      d[0] = static_cast<char>(0xE0 + (u >> 12));
      d[1] = static_cast<char>(0x80 + ((u >> 6) & 0x3F));
      d[2] = static_cast<char>(0x80 + (u & 0x3F));
      d += 3;
    }
  }
  return d;
}

}  // namespace

// --- UTF-8 as the exchange uses it --------------------------------------------------

ByteString Utf8Encode(WideView text) {
  ByteString out;
  Utf8EncodeAppend(text, out);
  return out;
}

void Utf8EncodeAppend(WideView text, ByteString& out) {
  // One pass, a chunk at a time through a buffer on the stack: the string only ever
  // receives finished bytes, so no room is zero-filled ahead of the writing and a
  // caller's reserve for a large document holds.
  constexpr size_t kChunk = 4096;
  char buffer[3 * kChunk];
  const char16_t* p = text.data();
  size_t left = text.size();
  while (left != 0) {
    const size_t n = left < kChunk ? left : kChunk;
    char* end = Utf8ExchangeWrite(p, n, buffer);
    out.append(buffer, static_cast<size_t>(end - buffer));
    p += n;
    left -= n;
  }
}

namespace {

// Past the ASCII bytes from i on: whole 8-byte words, 32 bytes at a time first (markup
// and Base64 text are mostly such runs), then the few before the next other byte.
size_t SkipAscii(const unsigned char* s, size_t i, size_t n) noexcept {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  auto word = [s](size_t at) { return Load64(s + at); };
  while (n - i >= 32 && ((word(i) | word(i + 8) | word(i + 16) | word(i + 24)) & kHigh) == 0)
    i += 32;
  while (n - i >= 8 && (Load64(s + i) & kHigh) == 0) i += 8;
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

}  // namespace

bool IsStandardBmpUtf8(std::string_view bytes) noexcept {
  const size_t n = bytes.size();
  const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  while (i < n) {
    i = SkipAscii(s, i, n);
    if (i == n) break;
    const unsigned b = s[i];
    if (b >= 0xC2 && b <= 0xDF) {
      if (n - i < 2 || (s[i + 1] & 0xC0) != 0x80) return false;
      i = PastTwoByteRun(s, i + 2, n);  // the rest of a Cyrillic word
    } else if (b >= 0xE0 && b <= 0xEF) {
      if (n - i < 3 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80) return false;
      if (b == 0xE0 && s[i + 1] < 0xA0) return false;   // overlong
      if (b == 0xED && s[i + 1] >= 0xA0) return false;  // a surrogate on its own
      i += 3;
    } else {
      return false;  // continuation byte, C0/C1, or a four-byte lead
    }
  }
  return true;
}

WideString Utf8Decode(std::string_view bytes) {
  const size_t n = bytes.size();
  if (n == 0) return {};
  WideString r;
  r.resize(n);  // never more characters than bytes
  char16_t* d = r.data();
  const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time.
    if (n - i >= 8 && EightAsciiBytes(s + i, d)) {
      d += 8;
      i += 8;
      continue;
    }
    const unsigned b = s[i++];
    if (b < 0x80) {
      *d++ = static_cast<char16_t>(b);
    } else if (b & 0x20) {
      // Three-byte sequence; bit 4 of the lead byte is not examined.
      if (n - i < 2) return {};
      const unsigned c1 = s[i], c2 = s[i + 1];
      if ((c1 & 0xC0) != 0x80 || (c2 & 0xC0) != 0x80) return {};
      *d++ = static_cast<char16_t>(((b & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (c2 & 0x3F));
      i += 2;
    } else {
      // Two-byte sequence (the lead byte itself is not checked further).
      if (n - i < 1) return {};
      const unsigned c1 = s[i];
      if ((c1 & 0xC0) != 0x80) return {};
      *d++ = static_cast<char16_t>(((b & 0x1F) << 6) | (c1 & 0x3F));
      i += 1;
      // The rest of a run of well-formed two-byte sequences (Cyrillic words); anything
      // else goes back to the general step above.
      while (n - i >= 2 && (s[i] & 0xA0) == 0x80 && (s[i + 1] & 0xC0) == 0x80) {
        *d++ = static_cast<char16_t>(((s[i] & 0x1F) << 6) | (s[i + 1] & 0x3F));
        i += 2;
      }
    }
  }
  r.resize(static_cast<size_t>(d - r.data()));
  return r;
}

// --- Result documents ----------------------------------------------------------------

namespace {

// A surrogate's three-byte sequence at s: ED A0..AF xx (high) or ED B0..BF xx (low).
inline bool HighSurrogateAt(const unsigned char* s) noexcept {
  return s[0] == 0xED && (s[1] & 0xF0) == 0xA0 && (s[2] & 0xC0) == 0x80;
}
inline bool LowSurrogateAt(const unsigned char* s) noexcept {
  return s[0] == 0xED && (s[1] & 0xF0) == 0xB0 && (s[2] & 0xC0) == 0x80;
}

}  // namespace

size_t JoinEncodedSurrogatePairs(ByteString& bytes, size_t from) {
  const size_t n = bytes.size();
  auto* s = reinterpret_cast<unsigned char*>(bytes.data());
  size_t r = from, w = from;
  while (r < n) {
    const void* hit = std::memchr(s + r, 0xED, n - r);
    const size_t at = hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - s) : n;
    if (w != r) std::memmove(s + w, s + r, at - r);
    w += at - r;
    r = at;
    if (r == n) break;
    if (n - r >= 6 && HighSurrogateAt(s + r) && LowSurrogateAt(s + r + 3)) {
      const uint32_t cp = 0x10000 + ((((s[r + 1] & 0x0Fu) << 6) | (s[r + 2] & 0x3Fu)) << 10) +
                          (((s[r + 4] & 0x0Fu) << 6) | (s[r + 5] & 0x3Fu));
      s[w] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      s[w + 1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      s[w + 2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      s[w + 3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      w += 4;
      r += 6;
    } else {
      s[w++] = s[r++];
    }
  }
  bytes.resize(w);
  return w - from >= 3 && HighSurrogateAt(s + w - 3) ? 3 : 0;
}

void SurrogatePairJoiner::Join(ByteString& piece) {
  if (!held_.empty()) piece.insert(0, held_);
  held_.clear();
  const size_t open = JoinEncodedSurrogatePairs(piece);
  held_.assign(piece, piece.size() - open, open);
  piece.resize(piece.size() - open);
}

// --- Standard UTF-8 ------------------------------------------------------------------

namespace {

// The length of Utf8FromWide's result: a pair (2 units) takes 4 bytes, a lone surrogate
// 3 (as U+FFFD).
size_t Utf8LengthOfWide(WideView text) {
  const size_t n = text.size();
  size_t length = 0;
  for (size_t i = 0; i < n; ++i) {
    const char16_t u = text[i];
    if (u < 0x80) {
      length += 1;
    } else if (u < 0x800) {
      length += 2;
    } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      length += 4;
      ++i;
    } else {
      length += 3;
    }
  }
  return length;
}

}  // namespace

std::string Utf8FromWide(WideView text) {
  std::string out;
  const size_t n = text.size();
  if (n == 0) return out;
  // Sized exactly: room for the longest form would be three bytes a unit, all of them
  // touched, for a result mostly one byte a unit.
  out.resize(Utf8LengthOfWide(text));
  char* d = out.data();
  const char16_t* p = text.data();
  size_t i = 0;
  while (i < n) {
    if (n - i >= 4 && FourAsciiUnits(p + i, d)) {
      d += 4;
      i += 4;
      continue;
    }
    uint32_t u = p[i++];
    if (u < 0x80) {
      *d++ = static_cast<char>(u);
      continue;
    }
    if (u < 0x800) {
      d[0] = static_cast<char>(0xC0 | (u >> 6));
      d[1] = static_cast<char>(0x80 | (u & 0x3F));
      d += 2;
      continue;
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      if (u <= 0xDBFF && i < n && p[i] >= 0xDC00 && p[i] <= 0xDFFF) {
        const uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (p[i] - 0xDC00u);
        ++i;
        d[0] = static_cast<char>(0xF0 | (cp >> 18));
        d[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        d[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        d[3] = static_cast<char>(0x80 | (cp & 0x3F));
        d += 4;
        continue;
      }
      u = 0xFFFD;  // lone surrogate
    }
    d[0] = static_cast<char>(0xE0 | (u >> 12));
    d[1] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    d[2] = static_cast<char>(0x80 | (u & 0x3F));
    d += 3;
  }
  out.resize(static_cast<size_t>(d - out.data()));
  return out;
}

namespace {

// What a lead byte of standard UTF-8 asks of the bytes after it: how many continuation
// bytes (0: the byte cannot lead) and the range the first of them must fall in (sequences
// longer than needed, surrogates and code points beyond U+10FFFF are not standard).
struct LeadByte {
  unsigned need = 0;
  unsigned lo = 0x80, hi = 0xBF;
};

LeadByte LeadByteOf(unsigned b) noexcept {
  LeadByte lead;
  if (b >= 0xC2 && b <= 0xDF) {
    lead.need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    lead.need = 2;
    if (b == 0xE0) lead.lo = 0xA0;  // longer than needed
    if (b == 0xED) lead.hi = 0x9F;  // a surrogate
  } else if (b >= 0xF0 && b <= 0xF4) {
    lead.need = 3;
    if (b == 0xF0) lead.lo = 0x90;  // longer than needed
    if (b == 0xF4) lead.hi = 0x8F;  // beyond U+10FFFF
  }
  return lead;
}

}  // namespace

WideString WideFromUtf8(std::string_view text) {
  const size_t n = text.size();
  WideString r;
  if (n == 0) return r;
  r.resize(n);  // a four-byte sequence gives two units, anything else at most one per byte
  char16_t* d = r.data();
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < n) {
    if (n - i >= 8 && EightAsciiBytes(s + i, d)) {
      d += 8;
      i += 8;
      continue;
    }
    const unsigned b = s[i];
    if (b < 0x80) {
      *d++ = static_cast<char16_t>(b);
      ++i;
      continue;
    }
    // Standard decoding; every maximal invalid subpart becomes one U+FFFD.
    const LeadByte lead = LeadByteOf(b);
    if (!lead.need) {
      *d++ = 0xFFFD;
      ++i;
      continue;
    }
    const unsigned need = lead.need, lo = lead.lo, hi = lead.hi;
    uint32_t cp = b & (0x3Fu >> need);
    size_t j = i + 1;
    bool ok = true;
    for (unsigned k = 0; k < need; ++k, ++j) {
      if (j >= n) {
        ok = false;
        break;
      }
      const unsigned c = s[j];
      const unsigned l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
      if (c < l || c > h) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      *d++ = 0xFFFD;
      i = j;  // skip the maximal subpart that was valid so far
      continue;
    }
    i = j;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      d[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
      d[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      d += 2;
    } else {
      *d++ = static_cast<char16_t>(cp);
    }
  }
  r.resize(static_cast<size_t>(d - r.data()));
  return r;
}

size_t InvalidUtf8Offset(std::string_view text) noexcept {
  const size_t n = text.size();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < n) {
    i = SkipAscii(s, i, n);
    if (i == n) break;
    const unsigned b = s[i];
    const LeadByte lead = LeadByteOf(b);
    const unsigned need = lead.need;
    if (!need || n - i <= need) return i;
    if (s[i + 1] < lead.lo || s[i + 1] > lead.hi) return i;
    for (unsigned k = 2; k <= need; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return i;
    // Cyrillic comes in words: the rest of a run of two-byte sequences without the
    // table (C2..DF followed by a continuation byte, as LeadByteOf has it).
    i = PastTwoByteRun(s, i + need + 1, n);
  }
  return std::string_view::npos;
}

// --- ANSI text -----------------------------------------------------------------------

#ifdef _WIN32

AnsiString WideToAnsi(WideView text) {
  if (text.empty()) return {};
  const wchar_t* src = reinterpret_cast<const wchar_t*>(text.data());
  const int len = WideCharToMultiByte(CP_THREAD_ACP, 0, src, static_cast<int>(text.size()), nullptr,
                                      0, nullptr, nullptr);
  if (len <= 0) return {};
  AnsiString out(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, src, static_cast<int>(text.size()), out.data(), len,
                      nullptr, nullptr);
  return out;
}

WideString AnsiToWide(std::string_view text) {
  if (text.empty()) return {};
  const int len =
      MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (len <= 0) return {};
  WideString out(static_cast<size_t>(len), u'\0');
  MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<wchar_t*>(out.data()), len);
  return out;
}

#else

AnsiString WideToAnsi(WideView text) { return Utf8FromWide(text); }
WideString AnsiToWide(std::string_view text) { return WideFromUtf8(text); }

#endif

}  // namespace Lumo::Base
