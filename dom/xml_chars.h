// Names and characters: the XML rules about single characters and names that the parser,
// the tree, the serialiser and the canonical form all apply. Each is written once, here,
// so that a text the parser accepts and a text a shortcut vouches for obey the same rule.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/types.h"

namespace Lumo::Dom {

// White space as XML has it: space, tab, LF, CR. The parser drops text made of these
// alone (outside xml:space="preserve"), so the rule decides which nodes a tree has.
constexpr bool IsXmlSpace(uint32_t c) noexcept {
  return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D;
}

inline bool IsWhiteSpaceOnly(Base::WideView text) noexcept {
  for (char16_t c : text)
    if (!IsXmlSpace(c)) return false;
  return true;
}

// A character XML allows in a document (code point, not UTF-16 unit).
constexpr bool IsXmlChar(uint32_t c) noexcept {
  if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
  if (c < 0xD800) return true;
  if (c < 0xE000) return false;
  if (c <= 0xFFFD) return true;
  return c >= 0x10000 && c <= 0x10FFFF;
}

constexpr bool IsNameStartChar(uint32_t c) noexcept {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

constexpr bool IsNameChar(uint32_t c) noexcept {
  if (c < 0x80) return IsNameStartChar(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
  return IsNameStartChar(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) ||
         (c >= 0x203F && c <= 0x2040);
}

// A qualified name: an XML name with at most one colon, not at either end.
bool IsXmlQName(Base::WideView name);

// Text whose every unit is below 0x80: it reads the same in every ANSI code page and
// compares the same by code unit and by character.
inline bool IsAscii(Base::WideView text) noexcept {
  for (char16_t c : text)
    if (c >= 0x80) return false;
  return true;
}
inline bool IsAscii(std::string_view text) noexcept {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Whether an attribute's qualified name declares a namespace: "xmlns" (the default
// namespace) or "xmlns:prefix".
inline bool IsNamespaceDeclaration(Base::WideView qname) noexcept {
  if (qname.size() < 5 || qname[0] != u'x' || qname.substr(0, 5) != u"xmlns") return false;
  return qname.size() == 5 || qname[5] == u':';
}

}  // namespace Lumo::Dom
