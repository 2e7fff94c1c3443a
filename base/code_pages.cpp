// Single-byte code pages: the built-in tables, encoding names as XML declarations spell
// them, the ANSI code page of a locale, and text converted from a code page.
#include <array>
#include <clocale>
#include <cstdlib>

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

// --- Code page tables ----------------------------------------------------------------

namespace {

constexpr char16_t X = 0xFFFD;  // a byte the code page lacks

using Table = std::array<char16_t, 256>;
using High = std::array<char16_t, 128>;

constexpr Table MakeTable(const High& high) {
  Table t{};
  for (int i = 0; i < 128; ++i) t[i] = static_cast<char16_t>(i);
  for (int i = 0; i < 128; ++i) t[128 + i] = high[i];
  return t;
}

constexpr High Range(High h, int from, char16_t first, int count) {
  for (int i = 0; i < count; ++i) h[from - 128 + i] = static_cast<char16_t>(first + i);
  return h;
}

// Windows-1251 (Cyrillic). Only 0x98 is undefined.
constexpr High kHigh1251 = Range(
    High{
        0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
        0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
        0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
        X,      0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
        0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
        0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
        0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
        0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    },
    0xC0, 0x0410, 64);  // C0..FF: А..я

// Windows-1252 (Western). 0x81, 0x8D, 0x8F, 0x90, 0x9D are undefined.
constexpr High kHigh1252 = Range(
    High{
        0x20AC, X,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, X,      0x017D, X,       // 88
        X,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, X,      0x017E, 0x0178,  // 98
    },
    0xA0, 0x00A0, 96);  // A0..FF as Latin-1

// Code page 866 (DOS Cyrillic).
constexpr High kHigh866 =
    Range(Range(
              High{
                  0,      0,      0,      0,      0,      0,      0,      0,
                  0,      0,      0,      0,      0,      0,      0,      0,  // 80 (filled below)
                  0,      0,      0,      0,      0,      0,      0,      0,
                  0,      0,      0,      0,      0,      0,      0,      0,  // 90
                  0,      0,      0,      0,      0,      0,      0,      0,
                  0,      0,      0,      0,      0,      0,      0,      0,       // A0
                  0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
                  0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
                  0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
                  0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
                  0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
                  0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
                  0,      0,      0,      0,      0,      0,      0,      0,
                  0,      0,      0,      0,      0,      0,      0,      0,  // E0 (filled below)
                  0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // F0
                  0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,  // F8
              },
              0x80, 0x0410, 48),  // 80..AF: А..п
          0xE0, 0x0440, 16);      // E0..EF: р..я

// KOI8-R (20866).
constexpr High kHighKoi8r = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524,  // 80
    0x252C, 0x2534, 0x253C, 0x2580, 0x2584, 0x2588, 0x258C, 0x2590,  // 88
    0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,  // 90
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7,  // 98
    0x2550, 0x2551, 0x2552, 0x0451, 0x2553, 0x2554, 0x2555, 0x2556,  // A0
    0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x255C, 0x255D, 0x255E,  // A8
    0x255F, 0x2560, 0x2561, 0x0401, 0x2562, 0x2563, 0x2564, 0x2565,  // B0
    0x2566, 0x2567, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x00A9,  // B8
    0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,  // C0 юабцдефг
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E,  // C8 хийклмно
    0x043F, 0x044F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0436, 0x0432,  // D0 пярстужв
    0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,  // D8 ьызшэщчъ
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413,  // E0 ЮАБЦДЕФГ
    0x0425, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E,  // E8 ХИЙКЛМНО
    0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,  // F0 ПЯРСТУЖВ
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A,  // F8 ЬЫЗШЭЩЧЪ
};

// ISO-8859-5 (28595).
constexpr High Make88595() {
  High h{};
  for (int i = 0; i < 0x20; ++i) h[i] = static_cast<char16_t>(0x80 + i);  // C1 controls
  h[0xA0 - 0x80] = 0x00A0;
  for (int i = 0xA1; i <= 0xAC; ++i) h[i - 0x80] = static_cast<char16_t>(0x0401 + (i - 0xA1));
  h[0xAD - 0x80] = 0x00AD;
  h[0xAE - 0x80] = 0x040E;
  h[0xAF - 0x80] = 0x040F;
  for (int i = 0xB0; i <= 0xEF; ++i) h[i - 0x80] = static_cast<char16_t>(0x0410 + (i - 0xB0));
  h[0xF0 - 0x80] = 0x2116;
  for (int i = 0xF1; i <= 0xFC; ++i) h[i - 0x80] = static_cast<char16_t>(0x0451 + (i - 0xF1));
  h[0xFD - 0x80] = 0x00A7;
  h[0xFE - 0x80] = 0x045E;
  h[0xFF - 0x80] = 0x045F;
  return h;
}

constexpr High Make88591() {
  High h{};
  for (int i = 0; i < 128; ++i) h[i] = static_cast<char16_t>(0x80 + i);
  return h;
}

constexpr High MakeAscii() {
  High h{};
  for (int i = 0; i < 128; ++i) h[i] = X;
  return h;
}

constexpr Table kTable1251 = MakeTable(kHigh1251);
constexpr Table kTable1252 = MakeTable(kHigh1252);
constexpr Table kTable866 = MakeTable(kHigh866);
constexpr Table kTableKoi8r = MakeTable(kHighKoi8r);
constexpr Table kTable28595 = MakeTable(Make88595());
constexpr Table kTable28591 = MakeTable(Make88591());
constexpr Table kTable20127 = MakeTable(MakeAscii());

// Sanity checks of the tables against well-known points.
static_assert(kTable1251[0xC0] == 0x0410 && kTable1251[0xFF] == 0x044F);
static_assert(kTable1251[0xA8] == 0x0401 && kTable1251[0xB8] == 0x0451);
static_assert(kTable1251[0xB9] == 0x2116 && kTable1251[0x88] == 0x20AC);
static_assert(kTable1251[0x98] == 0xFFFD);
static_assert(kTable1252[0x80] == 0x20AC && kTable1252[0x9F] == 0x0178 &&
              kTable1252[0xE9] == 0x00E9);
static_assert(kTable866[0x80] == 0x0410 && kTable866[0xAF] == 0x043F && kTable866[0xE0] == 0x0440);
static_assert(kTable866[0xEF] == 0x044F && kTable866[0xF0] == 0x0401 && kTable866[0xFF] == 0x00A0);
static_assert(kTableKoi8r[0xC1] == 0x0430 && kTableKoi8r[0xFF] == 0x042A &&
              kTableKoi8r[0xB3] == 0x0401);
static_assert(kTable28595[0xB0] == 0x0410 && kTable28595[0xEF] == 0x044F &&
              kTable28595[0xF0] == 0x2116);
static_assert(kTable28595[0xA1] == 0x0401 && kTable28595[0xAC] == 0x040C &&
              kTable28595[0xFC] == 0x045C);

#ifndef _WIN32
WideString TableToWide(std::string_view text, const char16_t* table) {
  WideString r(text.size(), u'\0');
  char16_t* d = r.data();
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    d[i] = table[s[i]];
    d[i + 1] = table[s[i + 1]];
    d[i + 2] = table[s[i + 2]];
    d[i + 3] = table[s[i + 3]];
  }
  for (; i < n; ++i) d[i] = table[s[i]];
  return r;
}
#endif

}  // namespace

const char16_t* CodePageTable(uint32_t codePage) {
  switch (codePage) {
    case 1251: return kTable1251.data();
    case 1252: return kTable1252.data();
    case 866: return kTable866.data();
    case 20866: return kTableKoi8r.data();
    case 28591: return kTable28591.data();
    case 28595: return kTable28595.data();
    case 20127: return kTable20127.data();
    default: return nullptr;
  }
}

uint32_t CodePageFromName(std::string_view name) {
  // Trim surrounding white space, lower-case (ASCII only).
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (name.empty() || name.size() > 32) return 0;
  char buf[33];
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    buf[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
  }
  const std::string_view n(buf, name.size());
  struct Entry {
    std::string_view name;
    uint32_t codePage;
  };
  static constexpr Entry kNames[] = {
      {"utf-8", 65001},          {"utf8", 65001},       {"utf-16", 1200},
      {"utf-16le", 1200},        {"utf-16be", 1201},    {"ucs-2", 1200},
      {"iso-10646-ucs-2", 1200}, {"unicode", 1200},     {"windows-1251", 1251},
      {"cp1251", 1251},          {"x-cp1251", 1251},    {"cp-1251", 1251},
      {"windows-1252", 1252},    {"cp1252", 1252},      {"x-cp1252", 1252},
      {"cp-1252", 1252},         {"koi8-r", 20866},     {"koi8r", 20866},
      {"cskoi8r", 20866},        {"koi8", 20866},       {"cp866", 866},
      {"ibm866", 866},           {"866", 866},          {"csibm866", 866},
      {"dos-866", 866},          {"iso-8859-1", 28591}, {"iso8859-1", 28591},
      {"iso_8859-1", 28591},     {"iso-ir-100", 28591}, {"latin1", 28591},
      {"latin-1", 28591},        {"l1", 28591},         {"cp819", 28591},
      {"ibm819", 28591},         {"iso-8859-5", 28595}, {"iso8859-5", 28595},
      {"iso_8859-5", 28595},     {"iso-ir-144", 28595}, {"cyrillic", 28595},
      {"us-ascii", 20127},       {"ascii", 20127},      {"iso646-us", 20127},
      {"ansi_x3.4-1968", 20127}, {"cp367", 20127},      {"ibm367", 20127},
  };
  for (const Entry& e : kNames) {
    if (e.name == n) return e.codePage;
  }
  return 0;
}

// --- Locales -------------------------------------------------------------------------

#ifdef _WIN32

uint32_t LocaleCodePage(uint32_t lcid) {
  char buf[7] = {};
  // 0x1004 = LOCALE_IDEFAULTANSICODEPAGE; at most 6 characters plus terminator.
  if (GetLocaleInfoA(static_cast<LCID>(lcid), 0x1004, buf, 7) > 0) {
    uint32_t value = 0;
    bool digits = buf[0] != '\0';
    for (const char* p = buf; *p; ++p) {
      if (*p < '0' || *p > '9') {
        digits = false;
        break;
      }
      value = value * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (digits) return value;
  }
  return GetACP();
}

uint32_t ThreadLocale() { return static_cast<uint32_t>(GetThreadLocale()); }

WideString AnsiToWideCP(std::string_view text, uint32_t codePage) {
  if (text.empty()) return {};
  const int len =
      MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (len <= 0) return {};
  WideString out(static_cast<size_t>(len), u'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<wchar_t*>(out.data()), len);
  return out;
}

#else

namespace {

// On POSIX, ANSI text is UTF-8: that is the "system ANSI code page".
constexpr uint32_t kPosixAnsiCodePage = 65001;

struct LcidCodePage {
  uint16_t lcid;
  uint16_t codePage;
};

// Locales whose ANSI code page depends on the sublanguage (script), by full LCID.
constexpr LcidCodePage kFullLcids[] = {
    {0x0404, 950},  {0x0804, 936},  {0x0C04, 950},  {0x1004, 936},  {0x1404, 950},  // Chinese
    {0x041A, 1250}, {0x101A, 1250},                                                 // Croatian
    {0x081A, 1250}, {0x0C1A, 1251}, {0x181A, 1250}, {0x1C1A, 1251},                 // Serbian
    {0x241A, 1250}, {0x281A, 1251}, {0x2C1A, 1250}, {0x301A, 1251},                 // Serbian
    {0x141A, 1250}, {0x201A, 1251},                                                 // Bosnian
    {0x042C, 1254}, {0x082C, 1251},                                                 // Azeri
    {0x0443, 1254}, {0x0843, 1251},                                                 // Uzbek
    {0x0450, 1251},                                                                 // Mongolian
};

// By primary language (LCID AND 0x3FF).
constexpr LcidCodePage kPrimary[] = {
    {0x01, 1256}, {0x02, 1251}, {0x03, 1252}, {0x05, 1250}, {0x06, 1252}, {0x07, 1252},
    {0x08, 1253}, {0x09, 1252}, {0x0A, 1252}, {0x0B, 1252}, {0x0C, 1252}, {0x0D, 1255},
    {0x0E, 1250}, {0x0F, 1252}, {0x10, 1252}, {0x11, 932},  {0x12, 949},  {0x13, 1252},
    {0x14, 1252}, {0x15, 1250}, {0x16, 1252}, {0x18, 1250}, {0x19, 1251}, {0x1A, 1250},
    {0x1B, 1250}, {0x1C, 1250}, {0x1D, 1252}, {0x1E, 874},  {0x1F, 1254}, {0x20, 1256},
    {0x21, 1252}, {0x22, 1251}, {0x23, 1251}, {0x24, 1250}, {0x25, 1257}, {0x26, 1257},
    {0x27, 1257}, {0x28, 1251}, {0x29, 1256}, {0x2A, 1258}, {0x2C, 1254}, {0x2D, 1252},
    {0x2F, 1251}, {0x36, 1252}, {0x38, 1252}, {0x3B, 1252}, {0x3E, 1252}, {0x3F, 1251},
    {0x40, 1251}, {0x41, 1252}, {0x42, 1250}, {0x43, 1254}, {0x44, 1251}, {0x56, 1252},
    {0x6D, 1251}, {0x7F, 1252}, {0x85, 1251},
};

struct NameLcid {
  std::string_view name;  // language_TERRITORY or language
  uint16_t lcid;
};

constexpr NameLcid kPosixLocales[] = {
    {"ru_RU", 0x0419}, {"ru_UA", 0x0819}, {"ru", 0x0419},    {"uk_UA", 0x0422}, {"uk", 0x0422},
    {"be_BY", 0x0423}, {"be", 0x0423},    {"bg_BG", 0x0402}, {"bg", 0x0402},    {"kk_KZ", 0x043F},
    {"kk", 0x043F},    {"ky_KG", 0x0440}, {"tt_RU", 0x0444}, {"mk_MK", 0x042F}, {"sr_RS", 0x281A},
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en", 0x0409},
    {"de_DE", 0x0407}, {"de_AT", 0x0C07}, {"de_CH", 0x0807}, {"de", 0x0407},    {"fr_FR", 0x040C},
    {"fr_CA", 0x0C0C}, {"fr", 0x040C},    {"it_IT", 0x0410}, {"it", 0x0410},    {"es_ES", 0x0C0A},
    {"es", 0x0C0A},    {"pt_BR", 0x0416}, {"pt_PT", 0x0816}, {"pt", 0x0816},    {"nl_NL", 0x0413},
    {"nl", 0x0413},    {"sv_SE", 0x041D}, {"sv", 0x041D},    {"fi_FI", 0x040B}, {"fi", 0x040B},
    {"da_DK", 0x0406}, {"da", 0x0406},    {"nb_NO", 0x0414}, {"no_NO", 0x0414}, {"pl_PL", 0x0415},
    {"pl", 0x0415},    {"cs_CZ", 0x0405}, {"cs", 0x0405},    {"sk_SK", 0x041B}, {"sk", 0x041B},
    {"hu_HU", 0x040E}, {"hu", 0x040E},    {"ro_RO", 0x0418}, {"ro", 0x0418},    {"sl_SI", 0x0424},
    {"hr_HR", 0x041A}, {"el_GR", 0x0408}, {"el", 0x0408},    {"tr_TR", 0x041F}, {"tr", 0x041F},
    {"et_EE", 0x0425}, {"lv_LV", 0x0426}, {"lt_LT", 0x0427}, {"he_IL", 0x040D}, {"ar_SA", 0x0401},
    {"ja_JP", 0x0411}, {"ja", 0x0411},    {"ko_KR", 0x0412}, {"zh_CN", 0x0804}, {"zh_TW", 0x0404},
    {"th_TH", 0x041E}, {"vi_VN", 0x042A},
};

uint32_t LcidFromPosixName(const char* name) {
  if (name == nullptr || *name == '\0') return 0;
  std::string_view n(name);
  // Cut ".codeset" and "@modifier".
  const size_t cut = n.find_first_of(".@");
  if (cut != std::string_view::npos) n = n.substr(0, cut);
  if (n == "C" || n == "POSIX") return 0;
  for (const NameLcid& e : kPosixLocales) {
    if (e.name == n) return e.lcid;
  }
  const size_t us = n.find('_');
  if (us != std::string_view::npos) {
    const std::string_view lang = n.substr(0, us);
    for (const NameLcid& e : kPosixLocales) {
      if (e.name == lang) return e.lcid;
    }
  }
  return 0;
}

}  // namespace

uint32_t LocaleCodePage(uint32_t lcid) {
  // LOCALE_USER_DEFAULT (0x400), LOCALE_SYSTEM_DEFAULT (0x800) and 0 stand for the
  // current locale.
  if (lcid == 0 || lcid == 0x400 || lcid == 0x800) lcid = ThreadLocale();
  const uint32_t id = lcid & 0xFFFF;  // sort id bits do not change the code page
  for (const LcidCodePage& e : kFullLcids) {
    if (e.lcid == id) return e.codePage;
  }
  const uint32_t primary = id & 0x3FF;  // neutral locales (sublanguage 0) included
  for (const LcidCodePage& e : kPrimary) {
    if (e.lcid == primary) return e.codePage;
  }
  return kPosixAnsiCodePage;
}

uint32_t ThreadLocale() {
  uint32_t id = LcidFromPosixName(std::setlocale(LC_CTYPE, nullptr));
  if (id != 0) return id;
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(var);
    if (v != nullptr && *v != '\0') {
      id = LcidFromPosixName(v);
      if (id != 0) return id;
      break;  // the first variable that is set decides, as POSIX does
    }
  }
  return 0x0409;  // "C" / unknown: en-US
}

WideString AnsiToWideCP(std::string_view text, uint32_t codePage) {
  if (text.empty()) return {};
  if (const char16_t* table = CodePageTable(codePage)) return TableToWide(text, table);
  switch (codePage) {
    case 65001:  // CP_UTF8
      return WideFromUtf8(text);
    case 0:  // CP_ACP
    case 1:  // CP_OEMCP
    case 3:  // CP_THREAD_ACP
      return AnsiToWide(text);
    default: return {};  // a code page the platform does not know: the conversion fails
  }
}

#endif

}  // namespace Lumo::Base
