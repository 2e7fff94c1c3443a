// Case-insensitive comparison in the user's locale (see collation.h).
//
// The POSIX collation, level by level:
//   1. Primary keys compared code unit by code unit, a proper prefix first. The key of a
//      unit is (class, weight) of its lower-case folding:
//        class 0  controls, white space, punctuation and symbols (weight: the code unit)
//        class 1  ASCII digits (weight: the digit)
//        class 2  Latin letters (weight: the base letter; Latin-1 and Latin Extended-A
//                 letters with diacritics share the weight of their base letter)
//        class 3  Greek letters
//        class 4  Cyrillic letters: а..я in alphabet order with ё right after е, the
//                 other Cyrillic letters after я
//        class 5  everything else (weight: the code unit)
//   2. Folded code units compared by value (this orders e before é, and makes the
//      order total).
// The result is 0 exactly when both strings fold to the same code units, i.e. when they
// are equal ignoring case.
#include "base/collation.h"

#include <algorithm>
#include <cstdint>

#include "base/encoding.h"

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

char16_t FoldCaseWide(char16_t c) noexcept {
  const unsigned u = c;
  if (u < 0x80) return (u >= 'A' && u <= 'Z') ? static_cast<char16_t>(u + 32) : c;
  if (u < 0x100) {
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char16_t>(u + 32);
    return c;
  }
  if (u < 0x180) {
    if (u == 0x130) return u'i';
    if (u == 0x178) return 0xFF;
    if ((u >= 0x100 && u <= 0x12F) || (u >= 0x132 && u <= 0x137) || (u >= 0x14A && u <= 0x177))
      return static_cast<char16_t>(u | 1);  // upper case is even
    if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E))
      return (u & 1) ? static_cast<char16_t>(u + 1) : c;  // upper case is odd
    return c;
  }
  if (u >= 0x386 && u <= 0x3AB) {  // Greek capitals
    if (u >= 0x391 && u <= 0x3AB && u != 0x3A2) return static_cast<char16_t>(u + 32);
    if (u == 0x386) return 0x3AC;
    if (u >= 0x388 && u <= 0x38A) return static_cast<char16_t>(u + 37);
    if (u == 0x38C) return 0x3CC;
    if (u == 0x38E || u == 0x38F) return static_cast<char16_t>(u + 63);
    return c;
  }
  if (u >= 0x400 && u < 0x530) {  // Cyrillic
    if (u < 0x410) return static_cast<char16_t>(u + 80);
    if (u < 0x430) return static_cast<char16_t>(u + 32);
    if (u < 0x460) return c;
    if ((u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x52F))
      return static_cast<char16_t>(u | 1);
    if (u == 0x4C0) return 0x4CF;
    if (u >= 0x4C1 && u <= 0x4CE) return (u & 1) ? static_cast<char16_t>(u + 1) : c;
    return c;
  }
  return c;
}

#ifdef _WIN32

int CompareWideIgnoreCase(WideView a, WideView b) {
  const int r =
      CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE,
                     reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                     reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()));
  if (r == 0) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  return r - 2;  // CSTR_LESS_THAN 1, CSTR_EQUAL 2, CSTR_GREATER_THAN 3
}

int CompareAnsiIgnoreCase(std::string_view a, std::string_view b) {
  const int r = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                               static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
  if (r == 0) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  return r - 2;
}

#else

namespace {

constexpr uint32_t Key(uint32_t cls, uint32_t weight) { return (cls << 16) | weight; }

// Base letter ('a'..'z') of a folded Latin-1 letter 0xDF..0xFF, 0 for non-letters.
constexpr char kLatin1Base[] = "saaaaaaaceeeeiiiidnooooo\0ouuuuyty";  // 0xDF..0xFF

// Base letters of Latin Extended-A, folded (0x100..0x17F), by ranges.
struct Span {
  uint16_t first, last;
  char base;
};
constexpr Span kLatinExtA[] = {
    {0x100, 0x105, 'a'}, {0x106, 0x10D, 'c'}, {0x10E, 0x111, 'd'}, {0x112, 0x11B, 'e'},
    {0x11C, 0x123, 'g'}, {0x124, 0x127, 'h'}, {0x128, 0x133, 'i'}, {0x134, 0x135, 'j'},
    {0x136, 0x138, 'k'}, {0x139, 0x142, 'l'}, {0x143, 0x14B, 'n'}, {0x14C, 0x153, 'o'},
    {0x154, 0x159, 'r'}, {0x15A, 0x161, 's'}, {0x162, 0x167, 't'}, {0x168, 0x173, 'u'},
    {0x174, 0x175, 'w'}, {0x176, 0x178, 'y'}, {0x179, 0x17E, 'z'}, {0x17F, 0x17F, 's'},
};

// Primary key of a folded code unit.
uint32_t PrimaryKey(char16_t f) noexcept {
  const unsigned u = f;
  if (u < 0x80) {
    if (u >= 'a' && u <= 'z') return Key(2, (u - 'a' + 1) * 4);
    if (u >= '0' && u <= '9') return Key(1, u - '0');
    return Key(0, u);
  }
  if (u < 0x100) {
    if (u >= 0xDF && u != 0xF7) return Key(2, (kLatin1Base[u - 0xDF] - 'a' + 1) * 4);
    if (u == 0xAA) return Key(2, ('a' - 'a' + 1) * 4);  // ª
    if (u == 0xBA) return Key(2, ('o' - 'a' + 1) * 4);  // º
    if (u == 0xB5) return Key(3, 0x3BC);                // micro sign as Greek mu
    return Key(0, u);
  }
  if (u < 0x180) {
    for (const Span& s : kLatinExtA) {
      if (u >= s.first && u <= s.last) return Key(2, (static_cast<unsigned>(s.base) - 'a' + 1) * 4);
    }
    return Key(5, u);
  }
  if (u >= 0x3AC && u <= 0x3CE) return Key(3, u);
  if (u >= 0x430 && u < 0x530) {
    if (u < 0x450) return Key(4, (u - 0x430) * 2 + 2);       // а..я
    if (u == 0x451) return Key(4, (0x435 - 0x430) * 2 + 3);  // ё right after е
    return Key(4, 0x100 + u);
  }
  if (u < 0x2C00 && (u >= 0x2000 || (u >= 0x2E00 && u < 0x2E80)))
    return Key(0, u);  // punctuation, symbols
  if (u >= 0x3000 && u <= 0x303F) return Key(0, u);
  return Key(5, u);
}

struct AsciiKeys {
  uint32_t key[128];
  constexpr AsciiKeys() : key() {
    for (unsigned u = 0; u < 128; ++u) {
      unsigned f = (u >= 'A' && u <= 'Z') ? u + 32 : u;
      if (f >= 'a' && f <= 'z') key[u] = Key(2, (f - 'a' + 1) * 4);
      else if (f >= '0' && f <= '9')
        key[u] = Key(1, f - '0');
      else
        key[u] = Key(0, f);
    }
  }
};
constexpr AsciiKeys kAscii;

inline uint32_t KeyOf(char16_t c) noexcept {
  return c < 0x80 ? kAscii.key[c] : PrimaryKey(FoldCaseWide(c));
}

}  // namespace

int CompareWideIgnoreCase(WideView a, WideView b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t ca = a[i], cb = b[i];
    if (ca == cb) continue;
    const uint32_t ka = KeyOf(ca), kb = KeyOf(cb);
    if (ka != kb) return ka < kb ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < n; ++i) {
    const char16_t fa = FoldCaseWide(a[i]), fb = FoldCaseWide(b[i]);
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  return 0;
}

int CompareAnsiIgnoreCase(std::string_view a, std::string_view b) {
  // Pure ASCII on both sides: compare without converting (same result as converting).
  const size_t n = std::min(a.size(), b.size());
  bool ascii = true;
  for (unsigned char c : a) ascii &= c < 0x80;
  for (unsigned char c : b) ascii &= c < 0x80;
  if (ascii) {
    for (size_t i = 0; i < n; ++i) {
      const unsigned char ca = static_cast<unsigned char>(a[i]),
                          cb = static_cast<unsigned char>(b[i]);
      if (ca == cb) continue;
      const uint32_t ka = kAscii.key[ca], kb = kAscii.key[cb];
      if (ka != kb) return ka < kb ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return 0;  // same keys at every position means the same folded units for ASCII
  }
  return CompareWideIgnoreCase(AnsiToWide(a), AnsiToWide(b));
}

#endif

}  // namespace Lumo::Base
