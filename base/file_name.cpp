#include "base/file_name.h"

#include <cstdio>

#include "base/encoding.h"

namespace Lumo::Base {

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (never a surrogate, never overlong),
// or 0; code receives its scalar value.
size_t Utf8SequenceAt(std::string_view s, size_t i, char32_t& code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned b = byte(i);
  if (b < 0x80) {
    code = b;
    return 1;
  }
  size_t length;
  char32_t min;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2, min = 0x80, code = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, min = 0x800, code = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4, min = 0x10000, code = b & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

#ifdef _WIN32

WideString WideFromFileName(std::string_view name) { return AnsiToWide(name); }
AnsiString FileNameFromWide(WideView name) { return WideToAnsi(name); }

#else

WideString WideFromFileName(std::string_view name) {
  WideString out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    char32_t code = 0;
    size_t length = Utf8SequenceAt(name, i, code);
    if (length == 0) {
      out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(name[i])));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

AnsiString FileNameFromWide(WideView name) {
  AnsiString out;
  out.reserve(name.size());
  size_t plain = 0;  // start of the run handed to the standard encoder
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    const bool escapedByte =
        c >= 0xDC80 && c <= 0xDCFF && (i == 0 || name[i - 1] < 0xD800 || name[i - 1] > 0xDBFF);
    if (!escapedByte) continue;
    out += Utf8FromWide(name.substr(plain, i - plain));
    out.push_back(static_cast<char>(c - 0xDC00));
    plain = i + 1;
  }
  out += Utf8FromWide(name.substr(plain));
  return out;
}

#endif

std::string FileNameForMessage(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    char32_t code = 0;
    size_t length = Utf8SequenceAt(name, i, code);
    if (length == 0 || code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0)) {
      size_t count = length == 0 ? 1 : length;
      for (size_t k = 0; k < count; ++k) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(name[i + k]));
        out += hex;
      }
      i += count;
      continue;
    }
    out.append(name.substr(i, length));
    i += length;
  }
  return out;
}

}  // namespace Lumo::Base
