// The document generator of the differential test against expat: deterministic random
// documents in each encoding the test covers. Included by the DOM tests' sources only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dom/dom.h"

namespace XmlDifferential {

using Lumo::Base::WideString;
using Lumo::Base::WideView;

// ---------------------------------------------------------------------------------------
// Text helpers

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }
};

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes valid UTF-8 (the generator's own text) into code points.
std::vector<uint32_t> CodePoints(const std::string& s) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

WideString WideFromCodePoints(const std::vector<uint32_t>& cps) {
  WideString w;
  for (uint32_t cp : cps) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      w += static_cast<char16_t>(0xD800 + (cp >> 10));
      w += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      w += static_cast<char16_t>(cp);
    }
  }
  return w;
}

std::string Utf8FromWide(WideView w) {
  std::string out;
  for (size_t i = 0; i < w.size(); ++i) {
    uint32_t cp = w[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < w.size() && w[i + 1] >= 0xDC00 &&
        w[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (w[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(cp, out);
  }
  return out;
}

const char16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

enum class Enc { Utf8, Utf8Bom, Utf16LE, Utf16BE, Cp1251, Latin1, Ascii };

const char* EncName(Enc e) {
  switch (e) {
    case Enc::Utf8:
    case Enc::Utf8Bom: return "UTF-8";
    case Enc::Utf16LE:
    case Enc::Utf16BE: return "UTF-16";
    case Enc::Cp1251: return "windows-1251";
    case Enc::Latin1: return "ISO-8859-1";
    case Enc::Ascii: return "US-ASCII";
  }
  return "";
}

int Cp1251Byte(uint32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0x410 && cp <= 0x44F) return static_cast<int>(0xC0 + cp - 0x410);
  for (int k = 0; k < 64; ++k)
    if (kCp1251High[k] == cp && cp != 0xFFFD) return 0x80 + k;
  return -1;
}

bool Representable(uint32_t cp, Enc e) {
  switch (e) {
    case Enc::Cp1251: return Cp1251Byte(cp) >= 0;
    case Enc::Latin1: return cp < 0x100;
    case Enc::Ascii: return cp < 0x80;
    default: return true;
  }
}

// The generator's UTF-8 text in the document's encoding (every character is representable).
std::string Encode(const std::string& utf8, Enc e) {
  std::string out;
  auto cps = CodePoints(utf8);
  switch (e) {
    case Enc::Utf8: return utf8;
    case Enc::Utf8Bom: return "\xEF\xBB\xBF" + utf8;
    case Enc::Utf16LE:
    case Enc::Utf16BE: {
      out = e == Enc::Utf16LE ? "\xFF\xFE" : "\xFE\xFF";
      for (char16_t u : WideFromCodePoints(cps)) {
        char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        if (e == Enc::Utf16LE) {
          out += lo;
          out += hi;
        } else {
          out += hi;
          out += lo;
        }
      }
      return out;
    }
    case Enc::Cp1251:
      for (uint32_t cp : cps) {
        int b = Cp1251Byte(cp);
        out += static_cast<char>(b < 0 ? '?' : b);
      }
      return out;
    case Enc::Latin1:
    case Enc::Ascii:
      for (uint32_t cp : cps) out += static_cast<char>(cp < 0x100 ? cp : '?');
      return out;
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Document generator

const char* const kUris[] = {"urn:dez-ru:ed:v2.0",
                             "urn:a",
                             "http://example.org/ns",
                             "urn:x:Ж",
                             "http://www.w3.org/2000/09/xmldsig#",
                             "urn:b?q=1&amp;r=2"};
const char* const kPrefixes[] = {"p", "ed", "ds", "Ж", "a1", "x_y"};
const char* const kWordsLatin[] = {"alpha", "beta", "Payer", "Sum", "x", "Ünïcödé", "café"};
const char* const kWordsCyr[] = {"Оплата", "по", "договору", "№", "Ёлка", "сумма", "НДС", "«ООО»"};

struct Generator {
  Rng& r;
  Enc enc;
  std::string out;
  std::vector<std::map<std::string, std::string>> scopes;  // prefix -> uri
  std::vector<std::string> textEntities, markupEntities;
  std::map<std::string, std::string> tokenAttrs;  // element -> NMTOKENS attribute name
  int elements = 0;

  Generator(Rng& rng, Enc e) : r(rng), enc(e) {}

  void Cp(uint32_t cp) {  // a character of content: literal when representable
    if (Representable(cp, enc)) {
      AppendUtf8(cp, out);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, r.Chance(50) ? "&#x%X;" : "&#%u;", cp);
      out += buf;
    }
  }
  void Str(const char* s) {
    for (uint32_t cp : CodePoints(s)) Cp(cp);
  }

  std::string Name(bool allowNonAscii = true) {
    static const char* const starts[] = {"a", "b", "Doc", "_x", "Элемент", "ж", "Z", "é"};
    static const char* const rest[] = {"", "1", "-2", ".3", "_v", "Ё", "ы", "name", "·"};
    for (;;) {
      std::string n = starts[r.Below(8)];
      n += rest[r.Below(9)];
      if (r.Chance(30)) n += rest[r.Below(9)];
      bool ok = true;
      for (uint32_t cp : CodePoints(n))
        if (!Representable(cp, enc) || (!allowNonAscii && cp >= 0x80)) ok = false;
      if (n.size() >= 3 && n.compare(0, 3, "xml") == 0) ok = false;
      if (ok) return n;
    }
  }

  void Space() {
    static const char* const ws[] = {" ", "\n", "\t", "\r\n", "  ", "\n\t\t", "\r"};
    out += ws[r.Below(7)];
  }

  // In an entity value, a reference to '<' or '&' would put markup into the replacement text.
  void CharRef(bool inEntityValue = false) {
    static const uint32_t cps[] = {0x41,    0x9,      0xA,    0xD,    0x20,   0x416,
                                   0x44F,   0x2116,   0xFFFD, 0xD7FF, 0xE000, 0x10000,
                                   0x1F600, 0x10FFFF, 0x85,   0x2028, 0x3C,   0x26};
    char buf[24];
    uint32_t cp = cps[r.Below(inEntityValue ? 16 : 18)];
    std::snprintf(buf, sizeof buf, r.Chance(50) ? "&#x%X;" : "&#%u;", cp);
    out += buf;
  }

  void TextPiece(bool inAttribute, char quote) {
    switch (r.Below(12)) {
      case 0: Str(kWordsLatin[r.Below(7)]); break;
      case 1:
      case 2: Str(kWordsCyr[r.Below(8)]); break;
      case 3: Space(); break;
      case 4: {
        static const char* const refs[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
        out += refs[r.Below(5)];
        break;
      }
      case 5: CharRef(); break;
      case 6:
        if (!textEntities.empty()) {
          out += "&" + textEntities[r.Below(static_cast<uint32_t>(textEntities.size()))] + ";";
        }
        break;
      case 7:
        if (inAttribute) out += quote == '"' ? "'" : "\"";
        else
          out += out.size() >= 2 && out.compare(out.size() - 2, 2, "]]") == 0 ? "x>" : ">";
        break;
      case 8: Cp(r.Chance(50) ? 0x1F600 : 0x10437); break;  // beyond the BMP
      case 9: out += "0123"; break;
      case 10: out += "]]"; break;  // not followed by '>' (the generator never writes "]]>")
      default: out += inAttribute ? "=" : "\"'"; break;
    }
  }

  void Text(bool inAttribute, char quote = '"') {
    int n = 1 + static_cast<int>(r.Below(5));
    for (int i = 0; i < n; ++i) TextPiece(inAttribute, quote);
    if (!inAttribute && !out.empty() && out.back() == ']') out += "x";
  }

  std::string LookupPrefix() {  // a prefix in scope, or empty
    std::vector<std::string> have;
    std::set<std::string> seen;
    for (auto it = scopes.rbegin(); it != scopes.rend(); ++it)
      for (const auto& [p, u] : *it)
        if (!p.empty() && seen.insert(p).second && !u.empty()) have.push_back(p);
    if (have.empty()) return "";
    return have[r.Below(static_cast<uint32_t>(have.size()))];
  }
  std::string UriOf(const std::string& prefix) {
    for (auto it = scopes.rbegin(); it != scopes.rend(); ++it) {
      auto f = it->find(prefix);
      if (f != it->end()) return f->second;
    }
    return "";
  }

  void Attribute(const std::string& qname) {
    out += ' ';
    out += qname;
    if (r.Chance(20)) Space();
    out += '=';
    if (r.Chance(10)) out += ' ';
    char q = r.Chance(70) ? '"' : '\'';
    out += q;
    if (r.Chance(85)) Text(true, q);
    out += q;
  }

  void Element(int depth, const std::string& forcedName = {}) {
    ++elements;
    scopes.emplace_back();
    // Namespace declarations first (they may be used by this element's own name).
    std::vector<std::pair<std::string, std::string>> decls;
    if (r.Chance(depth == 0 ? 50 : 20)) {
      std::string uri = r.Chance(15) && depth > 0 ? "" : kUris[r.Below(6)];
      decls.emplace_back("", uri);
      scopes.back()[""] = uri;
    }
    int nd = r.Chance(30) ? 1 + static_cast<int>(r.Below(2)) : 0;
    for (int i = 0; i < nd; ++i) {
      std::string p = kPrefixes[r.Below(6)];
      bool ok = true;
      for (uint32_t cp : CodePoints(p)) ok = ok && Representable(cp, enc);
      if (!ok || scopes.back().count(p)) continue;
      std::string uri = kUris[r.Below(6)];
      decls.emplace_back(p, uri);
      scopes.back()[p] = uri;
    }
    std::string prefix = r.Chance(40) ? LookupPrefix() : "";
    std::string name = (prefix.empty() ? "" : prefix + ":") + Name();
    if (!forcedName.empty()) name = forcedName;  // the root, named by the DOCTYPE
    out += '<';
    out += name;
    std::set<std::string> used;  // "{uri}local" of the attributes, to keep them unique
    // Attributes and declarations in random order.
    std::vector<int> order;
    int na = static_cast<int>(r.Below(4));
    for (size_t i = 0; i < decls.size(); ++i) order.push_back(-1 - static_cast<int>(i));
    for (int i = 0; i < na; ++i) order.push_back(i);
    for (size_t i = order.size(); i > 1; --i)
      std::swap(order[i - 1], order[r.Below(static_cast<uint32_t>(i))]);
    for (int o : order) {
      if (o < 0) {
        const auto& [p, uri] = decls[static_cast<size_t>(-1 - o)];
        out += p.empty() ? " xmlns=\"" : " xmlns:" + p + "=\"";
        Str(uri.c_str());  // URIs hold '&amp;' written as is
        out += '"';
        continue;
      }
      std::string aname, key;
      switch (r.Below(6)) {
        case 0:
          aname = "xml:lang";
          key = "{xml}lang";
          break;
        case 1:
          if (r.Chance(50)) {
            aname = "xml:space";
            key = "{xml}space";
            break;
          }
          [[fallthrough]];
        case 2: {
          std::string ap = LookupPrefix();
          if (!ap.empty()) {
            std::string local = Name();
            aname = ap + ":" + local;
            key = "{" + UriOf(ap) + "}" + local;
            break;
          }
          [[fallthrough]];
        }
        default:
          aname = Name();
          key = "{}" + aname;
          break;
      }
      if (!used.insert(key).second) continue;
      if (aname == "xml:space") {
        out += std::string(" xml:space=\"") + (r.Chance(50) ? "preserve" : "default") + "\"";
        continue;
      }
      Attribute(aname);
    }
    auto tok = tokenAttrs.find(name);
    if (tok != tokenAttrs.end() && r.Chance(70) && used.insert("{}" + tok->second).second) {
      out += " " + tok->second + "=\"  " + Name(false) + "   " + Name(false) + " \"";
    }
    if (r.Chance(10)) Space();
    if (depth >= 5 || elements > 40 || r.Chance(20)) {
      out += "/>";
    } else {
      out += '>';
      int nc = static_cast<int>(r.Below(6));
      for (int i = 0; i < nc; ++i) Content(depth + 1);
      out += "</" + name;
      if (r.Chance(10)) Space();
      out += '>';
    }
    scopes.pop_back();
  }

  void Misc() {
    switch (r.Below(3)) {
      case 0:
        out += "<!--";
        if (r.Chance(80)) {
          Str(kWordsCyr[r.Below(8)]);
          out += " - ";
          Str(kWordsLatin[r.Below(7)]);
        }
        out += "-->";
        break;
      case 1:
        out += "<?" + Name(false);
        if (r.Chance(70)) {
          out += ' ';
          Str(kWordsCyr[r.Below(8)]);
          out += " ?\n>";
        }
        out += "?>";
        break;
      default: Space(); break;
    }
  }

  void Content(int depth) {
    switch (r.Below(9)) {
      case 0:
      case 1: Element(depth); break;
      case 2:
      case 3: Text(false); break;
      case 4:
        out += "\n";
        for (int i = 0; i < depth; ++i) out += '\t';
        break;  // indentation
      case 5:
        out += "<![CDATA[";
        if (r.Chance(80)) {
          Str(kWordsCyr[r.Below(8)]);
          out += " <&> ]] ";
        }
        if (r.Chance(20)) out += "  ";
        out += "]]>";
        break;
      case 6: Misc(); break;
      case 7:
        if (!markupEntities.empty())
          out += "&" + markupEntities[r.Below(static_cast<uint32_t>(markupEntities.size()))] + ";";
        else
          Text(false);
        break;
      default: CharRef(); break;
    }
  }

  void Doctype(const std::string& rootName) {
    out += "<!DOCTYPE " + rootName;
    if (r.Chance(70)) {
      out += " [";
      int n = 1 + static_cast<int>(r.Below(6));
      for (int i = 0; i < n; ++i) {
        Space();
        switch (r.Below(7)) {
          case 0: {  // text entity, may refer to earlier ones
            std::string name = "t" + std::to_string(textEntities.size());
            out += "<!ENTITY " + name + " \"";
            Str(kWordsCyr[r.Below(8)]);
            if (r.Chance(50)) out += " &#38;amp; ";
            if (r.Chance(40)) CharRef(true);
            if (!textEntities.empty() && r.Chance(50)) out += "&" + textEntities.back() + ";";
            out += "\">";
            textEntities.push_back(name);
            break;
          }
          case 1: {  // markup entity
            std::string name = "m" + std::to_string(markupEntities.size());
            std::string el = Name(false);
            out += "<!ENTITY " + name + " '<" + el + " k=\"v\">";
            Str(kWordsLatin[r.Below(7)]);
            out += "<!--c--></" + el + ">";
            if (!textEntities.empty()) out += "&" + textEntities.back() + ";";
            out += "'>";
            markupEntities.push_back(name);
            break;
          }
          case 2: {  // attribute defaults for the root
            std::string a = Name(false);
            out += "<!ATTLIST " + rootName + " " + a + " CDATA \"";
            Str(kWordsCyr[r.Below(8)]);
            out += " d\">";
            break;
          }
          case 3: {  // a tokenized attribute type, normalised by both parsers
            std::string el = rootName, a = "tok" + Name(false);
            out += "<!ATTLIST " + el + " " + a + " NMTOKENS #IMPLIED>";
            tokenAttrs[el] = a;
            break;
          }
          case 4:
            out += "<!ELEMENT " + Name() + (r.Chance(50) ? " ANY>" : " (#PCDATA|a|b)*>");
            break;
          case 5: {  // an internal parameter entity that declares a text entity, referenced
            std::string pe = "pe" + std::to_string(textEntities.size());
            std::string name = "t" + std::to_string(textEntities.size());
            out += "<!ENTITY % " + pe + " \"<!ENTITY " + name + " '";
            Str(kWordsLatin[r.Below(7)]);
            out += "'>\">";
            Space();
            out += "%" + pe + ";";
            textEntities.push_back(name);
            break;
          }
          default: out += "<!-- in the subset --><?pi data?>"; break;
        }
      }
      out += "\n]";
    }
    out += ">";
  }

  // A whole document in UTF-8 (its bytes are made by Encode).
  std::string MakeDocument(bool declaration, bool forceDeclaration) {
    out.clear();
    if (declaration || forceDeclaration) {
      out += "<?xml version=\"1.0\"";
      if (forceDeclaration || r.Chance(70))
        out += std::string(" encoding=\"") + EncName(enc) + "\"";
      if (r.Chance(20)) out += r.Chance(50) ? " standalone=\"yes\"" : " standalone='no'";
      out += "?>";
    }
    if (r.Chance(30)) Misc();
    std::string rootName = Name();
    if (r.Chance(40)) Doctype(rootName);
    if (r.Chance(30)) Misc();
    if (r.Chance(50)) out += "\n";
    Element(0, rootName);
    if (r.Chance(30)) Misc();
    if (r.Chance(30)) out += "\n";
    return out;
  }
};

}  // namespace XmlDifferential
