// Moving text between ANSI, wide (UTF-16) and UTF-8 forms.
//
// The UTF-8 rules here decide signed bytes and are kept bit-exact: encoding works on
// one UTF-16 code unit at a time (a character beyond U+FFFF becomes two three-byte
// sequences), and decoding of any malformed or truncated input yields empty text.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/types.h"

namespace Lumo::Base {

// --- UTF-8 as the exchange uses it --------------------------------------------------
ByteString Utf8Encode(WideView text);
void Utf8EncodeAppend(WideView text, ByteString& out);
WideString Utf8Decode(std::string_view bytes);  // empty on malformed input
// True when bytes are standard UTF-8 made of one- to three-byte sequences only (no
// overlong forms, no encoded surrogates): text that Utf8Decode and a standard decoder
// read alike.
bool IsStandardBmpUtf8(std::string_view bytes) noexcept;

// Whether the eight bytes at p are four two-byte sequences (C2..DF, then a continuation
// byte), read as one word into `word`: Cyrillic comes in words, which the UTF-8 checks and
// decoders take four sequences at a time. Always false on a big-endian machine.
inline bool FourTwoByteSequences(const void* p, uint64_t& word) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    std::memcpy(&word, p, sizeof word);
    // Leads 110xxxxx at the even bytes, continuations 10xxxxxx at the odd ones; then no
    // lead C0 or C1 (whose bits 1-4 are zero: a 16-bit lane of them plus 0x7FFF stays
    // below 0x8000).
    if ((word & 0xC0E0C0E0C0E0C0E0ull) != 0x80C080C080C080C0ull) return false;
    const uint64_t leadBits = word & 0x001E001E001E001Eull;
    return ((leadBits + 0x7FFF7FFF7FFF7FFFull) & 0x8000800080008000ull) == 0x8000800080008000ull;
  }
}
// The four UTF-16 units of such a word, written at out.
inline void WriteFourUnits(uint64_t word, char16_t* out) noexcept {
  const uint64_t units =
      ((word & 0x001F001F001F001Full) << 6) | ((word & 0x3F003F003F003F00ull) >> 8);
  std::memcpy(out, &units, sizeof units);
}

// Past the run of two-byte sequences (C2..DF, then a continuation byte) from s[i] on,
// s[n] being the end: four at a time where a word holds them, then one at a time.
inline size_t PastTwoByteRun(const unsigned char* s, size_t i, size_t n) noexcept {
  uint64_t word;
  while (n - i >= 8 && FourTwoByteSequences(s + i, word)) i += 8;
  while (n - i >= 2 && s[i] - 0xC2u <= 0xDFu - 0xC2u && (s[i + 1] & 0xC0) == 0x80) i += 2;
  return i;
}

// --- Result documents ---------------------------------------------------------------
// Signed bytes keep the exchange's form, but documents written out for a reader are
// standard UTF-8: each high surrogate's three-byte sequence directly followed by a low
// surrogate's becomes the pair's one four-byte sequence, in place from `from` on. Any
// other byte stays as it is. Returns 3 when the bytes end with a high surrogate's
// sequence (its partner may begin the next piece of a text handed over in pieces), else 0.
size_t JoinEncodedSurrogatePairs(ByteString& bytes, size_t from = 0);
// The same for a text handed over in pieces: Join() makes each piece standard UTF-8,
// keeping back a high surrogate at its end until the next piece (or Rest()) comes.
class SurrogatePairJoiner {
 public:
  void Join(ByteString& piece);
  // What was kept back after the last piece: written as it is.
  const ByteString& Rest() const { return held_; }

 private:
  ByteString held_;
};

// --- Standard UTF-8 for messages and API boundaries ----------------------------------
// Surrogate pairs combined into four-byte sequences; invalid bytes become U+FFFD.
// Error messages are held in this form inside the library.
std::string Utf8FromWide(WideView text);
WideString WideFromUtf8(std::string_view text);
// Where text given by a client as UTF-8 stops being standard UTF-8: the offset of the
// first byte that does not belong to a well-formed sequence, or npos when all do. Text
// from a client is checked with it and refused, never repaired with U+FFFD and signed.
size_t InvalidUtf8Offset(std::string_view text) noexcept;

// --- ANSI text -----------------------------------------------------------------------
// Windows: the calling thread's ANSI code page (CP_THREAD_ACP), lossy as the platform is.
// POSIX: ANSI text is UTF-8 (standard UTF-8 with surrogate pairs combined), lossless.
AnsiString WideToAnsi(WideView text);
WideString AnsiToWide(std::string_view text);

// --- Code pages ----------------------------------------------------------------------
// The ANSI code page of a locale (LCID); unknown locales give the system ANSI code page.
// Windows: GetLocaleInfoA (LOCALE_IDEFAULTANSICODEPAGE), else GetACP. POSIX: a built-in
// table of the Windows locales (0x419 ru-RU -> 1251, 0x409 en-US -> 1252, 0x405 cs-CZ
// -> 1250, ...); 0, 0x400 and 0x800 stand for ThreadLocale(); unknown locales give
// 65001, because ANSI text is UTF-8 on POSIX.
uint32_t LocaleCodePage(uint32_t lcid);
// The calling thread's locale (GetThreadLocale on Windows; on POSIX derived from the
// LC_CTYPE locale, else LC_ALL / LC_CTYPE / LANG, e.g. ru_RU.UTF-8 -> 0x419; "C" or
// unknown -> 0x409).
uint32_t ThreadLocale();
// Convert single-byte (or UTF-8, 65001) text from a code page. Windows: MultiByteToWideChar
// (no flags; bytes a code page lacks are mapped as the platform does). POSIX: the built-in
// tables for 1251, 1252, 866, 20866 (KOI8-R), 28591, 28595 and 20127 (US-ASCII), standard
// UTF-8 for 65001, ANSI (UTF-8) for 0/1/3 (CP_ACP, CP_OEMCP, CP_THREAD_ACP); any other code
// page fails as the platform call would: empty result.
WideString AnsiToWideCP(std::string_view text, uint32_t codePage);
// The 256-entry table of a built-in single-byte code page, or nullptr. Bytes a code page
// lacks map to U+FFFD. Used by the XML parser for byte input.
const char16_t* CodePageTable(uint32_t codePage);
// Code page number for an encoding name as an XML declaration spells it
// ("windows-1251", "koi8-r", "cp866", "ibm866", "iso-8859-5", ...), case-insensitive;
// 65001 for UTF-8, 1200/1201 for UTF-16 LE/BE, 0 when unknown. Every other nonzero
// result has a CodePageTable.
uint32_t CodePageFromName(std::string_view name);

// --- Wide text routines -------------------------------------------------------------
enum ReplaceFlags : uint32_t { rfReplaceAll = 1, rfIgnoreCase = 2 };
// Left to right, non-overlapping, the replacement is never rescanned.
WideString WideStringReplace(WideView text, WideView pattern, WideView replacement, uint32_t flags);

// Zero-terminated wide buffers with a 32-bit size prefix (4 + 2 * (n + 1) bytes
// recorded for a buffer made by WideStrNew). Free them with WideStrDispose.
size_t WideStrLen(const char16_t* s);
char16_t* WideStrAlloc(size_t chars);
char16_t* WideStrNew(const char16_t* s);
void WideStrDispose(char16_t* s);

}  // namespace Lumo::Base
