// Reading a fixed-point canonical text as text. NumberedFromFixedText checks the whole
// shape once; WriteParsedMarkup then relies on it.
//
// What the parse and the serialisation do to such a text, piece by piece:
// - an attribute value holds no '<', no tab, CR or LF and no reference but "&quot;"; it
//   parses to the same characters with '"' for "&quot;", and xml writes it back the same
//   way except for '>', which it writes as "&gt;";
// - text holds no CR, no '>' and no reference but "&amp;", "&lt;" and "&gt;", and is never
//   white space only (the parser would drop it); xml writes it back the same way except
//   for LF, which it writes as CR LF;
// - a CDATA section holds no CR and comes back as it is;
// - an element with nothing between its tags comes back as an empty-element tag;
// - names come back as they are, and no declaration is added: each element's prefix is
//   declared on the element or on its parent.
// Bytes are UTF-8 one UTF-16 unit at a time on both sides, so they pass through.
#include "canon/fixed_text.h"

#include <cstring>
#include <vector>

#include "dom/xml_parser.h"

namespace Lumo::Canon {

using Lumo::Base::ByteString;

namespace {

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Characters XML allows, as the canonical walks checked them, in the UTF-8 they write
// (one UTF-16 unit at a time: sequences of one to three bytes, none longer than needed):
// no control characters but tab and LF (CR is refused too: the canonical text has none),
// no U+FFFE or U+FFFF, and surrogates only as a high one followed by a low one.
bool PlainChars(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  auto continuation = [&](size_t i) { return i < n && (s[i] & 0xC0) == 0x80; };
  for (size_t i = 0; i < n;) {
    const unsigned b = s[i];
    if (b >= 0x20 && b < 0x80) {
      ++i;
      continue;
    }
    if (b < 0x20) {
      if (b != '\t' && b != '\n') return false;
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      if (!continuation(i + 1)) return false;
      i += 2;
      continue;
    }
    if (b < 0xE0 || b > 0xEF || !continuation(i + 1) || !continuation(i + 2)) return false;
    const unsigned c1 = s[i + 1];
    if (b == 0xE0 && c1 < 0xA0) return false;  // longer than needed
    if (b == 0xEF && c1 == 0xBF && s[i + 2] >= 0xBE) return false;  // U+FFFE, U+FFFF
    if (b == 0xED && c1 >= 0xA0) {
      // A high surrogate (ED A0..AF xx) followed by a low one (ED B0..BF xx).
      if (c1 >= 0xB0 || i + 5 >= n || s[i + 3] != 0xED || !continuation(i + 4) || s[i + 4] < 0xB0 ||
          !continuation(i + 5))
        return false;
      i += 6;
      continue;
    }
    i += 3;
  }
  return true;
}

// A name as the canonical text writes element and attribute names: ASCII name
// characters (anything beyond ASCII is taken as it comes, in well-formed UTF-8), at most
// one colon, not at either end.
bool PlainName(std::string_view name) noexcept {
  if (name.empty()) return false;
  size_t colons = 0;
  bool beyondAscii = false;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x80) {
      beyondAscii = true;
      continue;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') continue;
    if (c == ':') {
      ++colons;
      continue;
    }
    if (i > 0 && ((c >= '0' && c <= '9') || c == '.' || c == '-')) continue;
    return false;
  }
  if (beyondAscii && !PlainChars(name)) return false;
  return colons == 0 || (colons == 1 && name.front() != ':' && name.back() != ':');
}

std::string_view PrefixOf(std::string_view name) noexcept {
  size_t colon = name.find(':');
  return colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
}

bool IsAscii(std::string_view text) noexcept {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Names the canonical text sorts with the declarations: the first five characters read
// "xmlns" in any case.
bool DeclarationGroup(std::string_view name) noexcept {
  if (name.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != "xmlns"[i]) return false;
  }
  return true;
}

// The first c in text[from, to), or to.
size_t FindIn(std::string_view text, char c, size_t from, size_t to) noexcept {
  const void* hit = std::memchr(text.data() + from, c, to - from);
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : to;
}

bool PlainText(std::string_view run) noexcept {
  bool space = true;
  for (size_t i = 0; i < run.size(); ++i) {
    const char c = run[i];
    if (c == '\r' || c == '>') return false;
    if (!IsSpace(c)) space = false;
    if (c == '&') {
      std::string_view rest = run.substr(i);
      if (rest.substr(0, 5) != "&amp;" && rest.substr(0, 4) != "&lt;" && rest.substr(0, 4) != "&gt;") return false;
    }
  }
  return !space && PlainChars(run);
}

bool PlainValue(std::string_view value) noexcept {
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '<' || c == '\t' || c == '\n' || c == '\r') return false;
    if (c == '&' && value.substr(i, 6) != "&quot;") return false;
  }
  return PlainChars(value);
}

}  // namespace

bool NumberedFromFixedText(std::string_view text, ByteString& numbered) {
  struct Open {
    std::string_view name;
    std::string_view prefix;
    std::string_view uri;  // as the text writes it (the value of the declaration in scope)
  };
  std::vector<Open> stack;
  ByteString out;
  out.reserve(text.size() + text.size() / 8);
  const size_t n = text.size();
  size_t i = 0;
  bool rootClosed = false;
  auto appendName = [&out](std::string_view name, std::string_view prefix) {
    if (prefix.empty()) {
      out += name;
    } else {
      out += "n1:";
      out += name.substr(prefix.size() + 1);
    }
  };
  while (i < n) {
    if (rootClosed) return false;  // nothing may follow the root
    if (text[i] != '<') {
      size_t end = text.find('<', i);
      if (stack.empty() || end == std::string_view::npos || !PlainText(text.substr(i, end - i))) return false;
      out.append(text, i, end - i);
      i = end;
      continue;
    }
    if (i + 1 < n && text[i + 1] == '/') {
      if (stack.empty()) return false;
      const Open& open = stack.back();
      size_t close = i + 2 + open.name.size();
      if (close >= n || text.compare(i + 2, open.name.size(), open.name) != 0 || text[close] != '>') return false;
      out += "</";
      appendName(open.name, open.prefix);
      out += '>';
      i = close + 1;
      stack.pop_back();
      rootClosed = stack.empty();
      continue;
    }
    if (text.compare(i, 9, "<![CDATA[") == 0) {
      size_t end = text.find("]]>", i + 9);
      if (stack.empty() || end == std::string_view::npos) return false;
      std::string_view body = text.substr(i + 9, end - i - 9);
      if (body.find('\r') != std::string_view::npos || !PlainChars(body)) return false;
      out.append(text, i, end + 3 - i);
      i = end + 3;
      continue;
    }
    // A start tag: the name, then ' name="value"' pairs, then '>'.
    size_t j = i + 1;
    while (j < n && text[j] != ' ' && text[j] != '>') ++j;
    if (j >= n) return false;
    const std::string_view name = text.substr(i + 1, j - i - 1);
    if (!PlainName(name) || stack.size() >= static_cast<size_t>(Lumo::Dom::XmlLimits::kMaxDepth)) return false;
    const std::string_view prefix = PrefixOf(name);
    out += '<';
    appendName(name, prefix);
    if (prefix == "xml" || prefix == "xmlns") return false;
    std::string_view declared;  // the URI of the element's own declaration
    std::string_view previous;  // the last attribute name
    bool hasDeclaration = false;
    bool first = true;
    while (text[j] == ' ') {
      size_t eq = text.find('=', j + 1);
      if (eq == std::string_view::npos || eq + 1 >= n || text[eq + 1] != '"') return false;
      const std::string_view attribute = text.substr(j + 1, eq - j - 1);
      size_t quote = text.find('"', eq + 2);
      if (quote == std::string_view::npos || quote + 1 >= n) return false;
      const std::string_view value = text.substr(eq + 2, quote - eq - 2);
      if (!PlainName(attribute) || !PlainValue(value)) return false;
      if (DeclarationGroup(attribute)) {
        // Only the element's own prefix, declared first, bound to an ASCII URI (the
        // numbered scheme takes URIs through the ANSI code page).
        if (!first || prefix.empty() || attribute.size() != 6 + prefix.size() ||
            attribute.compare(0, 6, "xmlns:") != 0 || attribute.substr(6) != prefix || value.empty() ||
            !IsAscii(value) || value == "http://www.w3.org/XML/1998/namespace" ||
            value == "http://www.w3.org/2000/xmlns/")
          return false;
        declared = value;
        hasDeclaration = true;
        out += " xmlns:n1=\"";
      } else {
        // Unprefixed, ASCII, in the order the canonical text sorts them.
        if (attribute.find(':') != std::string_view::npos || !IsAscii(attribute) ||
            (!previous.empty() && previous.compare(attribute) >= 0))
          return false;
        previous = attribute;
        out += ' ';
        out += attribute;
        out += "=\"";
      }
      out += value;
      out += '"';
      first = false;
      j = quote + 1;
    }
    if (text[j] != '>') return false;
    // Both schemes drop a declaration that the parent makes with the same name and value:
    // here, wherever the parent stands in the same namespace. An element without one
    // must therefore take its parent's prefix, and one with it must differ from the parent.
    std::string_view uri;
    if (hasDeclaration) {
      if (!stack.empty() && stack.back().uri == declared) return false;
      uri = declared;
    } else if (!prefix.empty()) {
      if (stack.empty() || stack.back().prefix != prefix) return false;
      uri = stack.back().uri;
    }
    out += '>';
    stack.push_back({name, prefix, uri});
    i = j + 1;
  }
  if (!rootClosed) return false;
  numbered = std::move(out);
  return true;
}

void WriteParsedMarkup(std::string_view text, const std::function<void(ByteString&)>& insertFirst,
                       const std::function<void(ByteString&)>& consume) {
  constexpr size_t kPiece = 256 * 1024;
  ByteString out;
  out.reserve(kPiece + kPiece / 4);
  const size_t n = text.size();
  size_t i = 0;
  bool rootOpen = false;
  auto flushIfFull = [&] {
    if (out.size() >= kPiece) consume(out);
  };
  while (i < n) {
    if (text[i] != '<') {
      // Text, LF written as CR LF; a long run goes out in pieces cut before a lead byte.
      size_t end = text.find('<', i);
      while (i < end) {
        size_t stop = end - i > kPiece ? i + kPiece : end;
        while (stop < end && (static_cast<unsigned char>(text[stop]) & 0xC0) == 0x80) ++stop;
        while (i < stop) {
          size_t lf = FindIn(text, '\n', i, stop);
          if (lf == stop) {
            out.append(text, i, stop - i);
            i = stop;
            break;
          }
          out.append(text, i, lf - i);
          out += "\r\n";
          i = lf + 1;
        }
        flushIfFull();
      }
      continue;
    }
    if (text[i + 1] == '/') {
      size_t close = text.find('>', i);
      out.append(text, i, close + 1 - i);
      i = close + 1;
    } else if (text.compare(i, 9, "<![CDATA[") == 0) {
      size_t end = text.find("]]>", i + 9) + 3;
      out.append(text, i, end - i);
      i = end;
    } else {
      // Start tag: values with '>' as "&gt;"; nothing before the end tag: one empty tag.
      size_t j = i + 1;
      while (text[j] != ' ' && text[j] != '>') ++j;
      const std::string_view name = text.substr(i + 1, j - i - 1);
      out += '<';
      out += name;
      while (text[j] == ' ') {
        size_t eq = text.find('=', j);
        size_t quote = text.find('"', eq + 2);
        out.append(text, j, eq + 2 - j);  // ' name="'
        for (size_t k = eq + 2; k < quote;) {
          size_t stop = FindIn(text, '>', k, quote);
          out.append(text, k, stop - k);
          if (stop == quote) break;
          out += "&gt;";
          k = stop + 1;
        }
        out += '"';
        j = quote + 1;
      }
      i = j + 1;  // past '>'
      if (!rootOpen) {
        rootOpen = true;
        out += '>';
        insertFirst(out);
      } else if (text.compare(i, 2, "</") == 0) {
        out += "/>";
        i += 2 + name.size() + 1;  // the end tag, written as part of the empty tag
      } else {
        out += '>';
      }
    }
    flushIfFull();
  }
  if (!out.empty()) consume(out);
}

}  // namespace Lumo::Canon
