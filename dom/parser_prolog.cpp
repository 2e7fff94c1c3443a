// The document level: the XML declaration, what may stand around the root element, and
// the line and column of an error.

#include <cstdint>
#include <cstring>

#include "dom/parser_impl.h"

namespace Lumo::Dom::Parsing {

template <int E>
void Parser<E>::Locate(size_t pos, ParseError& pe) const {
  const Unit* target = b_ + std::min(pos, static_cast<size_t>(e_ - b_));
  assert(target >= kept_.at);
  if (target < kept_.at) target = kept_.at;
  const Unit* p = kept_.at;
  const Unit* lineStart = kept_.lineStart;
  bool lineTextKept = kept_.lineTextKept;
  int32_t line = kept_.line;
  int32_t col = kept_.col;
  int32_t chars = kept_.chars;
  while (p < target) {
    uint32_t c = *p;
    if (c == 10 || c == 13) {
      ++p;
      ++chars;
      if (c == 13 && p < e_ && *p == 10) {
        ++p;
        ++chars;
      }
      ++line;
      col = 1;
      lineStart = p;
      lineTextKept = false;
      continue;
    }
    uint32_t cp = Decode(p);
    int u = cp >= 0x10000 && cp < 0x110000 ? 2 : 1;
    col += u;
    chars += u;
  }
  pe.line = line;
  pe.linepos = col;
  pe.filepos = chars;
  pe.srcText = lineTextKept ? kept_.lineText : LineText(lineStart);
}

template <int E>
WideString Parser<E>::LineText(const Unit* p) const {
  WideString src;
  while (p < e_ && *p != 10 && *p != 13) {
    uint32_t cp = Decode(p);
    if (cp >= 0x110000) cp = 0xFFFD;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      src.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      src.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      src.push_back(static_cast<char16_t>(cp));
    }
    if (src.size() > 100000) break;
  }
  return src;
}

namespace {

// The line ends in [from, to) as Locate reads them: LF, CR not followed by LF, and CR LF
// as one; to must not split a CR LF. The last line's start, or null where none ends.
struct Lines {
  int64_t count = 0;
  const uint8_t* lastStart = nullptr;
};
Lines CountLines(const uint8_t* from, const uint8_t* to) {
  Lines lines;
  for (const uint8_t* q = from; (q = static_cast<const uint8_t*>(std::memchr(q, '\n', to - q)));) {
    ++lines.count;
    lines.lastStart = ++q;
  }
  for (const uint8_t* q = from; (q = static_cast<const uint8_t*>(std::memchr(q, '\r', to - q)));) {
    if (++q < to && *q == '\n') continue;  // CR LF: counted at its LF
    ++lines.count;
    if (q > lines.lastStart) lines.lastStart = q;
  }
  return lines;
}

// The characters in [from, to) as Locate counts them, for input that parsed (so it is
// well-formed in its encoding): a unit each, but UTF-8's continuation bytes are none and
// a four-byte sequence counts two (a surrogate pair). A loop the compiler vectorizes.
template <int E>
int64_t Characters(const uint8_t* from, const uint8_t* to) {
  if constexpr (E != kUtf8) {
    return to - from;
  } else {
    int64_t n = 0;
    for (const uint8_t* q = from; q < to; ++q) n += ((*q & 0xC0) != 0x80) + (*q >= 0xF0);
    return n;
  }
}

}  // namespace

// Once 256 KB have gathered behind the last child handed over, the input from the
// root's content up to p_ is said read. Locate then starts at p_, with the line, column
// and characters counted here as it counts them, and with the text of p_'s line kept, as
// its start may be given back. Bytes only, and only the caller's: a converted copy
// (UTF-16) is the parser's own.
template <int E>
void Parser<E>::GiveBackRead() {
  if constexpr (E == kU16) {
    return;
  } else {
    constexpr size_t kGather = 256 * 1024;
    const std::string_view text = doc_->inputReadOnce->Text();
    const auto* t = reinterpret_cast<const Unit*>(text.data());
    const auto address = [](const Unit* p) { return reinterpret_cast<uintptr_t>(p); };
    if (!main_ || !rootContent_ || address(b_) < address(t) ||
        address(e_) > address(t + text.size()))
      return;
    if (static_cast<size_t>(p_ - kept_.at) < kGather) return;
    assert(p_[-1] == '>');  // just past a child's end tag: no CR LF is split
    const Lines lines = CountLines(kept_.at, p_);
    if (lines.lastStart) {
      const int64_t on = Characters<E>(lines.lastStart, p_);
      kept_.line += static_cast<int32_t>(lines.count);
      kept_.chars += static_cast<int32_t>(Characters<E>(kept_.at, lines.lastStart) + on);
      kept_.col = static_cast<int32_t>(1 + on);
      kept_.lineStart = lines.lastStart;
      kept_.lineTextKept = false;
    } else {
      const int64_t on = Characters<E>(kept_.at, p_);
      kept_.chars += static_cast<int32_t>(on);
      kept_.col += static_cast<int32_t>(on);
    }
    kept_.at = p_;
    if (!kept_.lineTextKept) {
      kept_.lineText = LineText(kept_.lineStart);
      kept_.lineTextKept = true;
    }
    doc_->inputReadOnce->ReadUpTo(static_cast<size_t>(rootContent_ - t),
                                  static_cast<size_t>(p_ - t));
  }
}

// --- document level --------------------------------------------------------------------

template <int E>
void Parser<E>::Document() {
  ElementImpl* docNode = doc_->docNode();
  st_.container = docNode;
  if (At("<?xml") && (p_ + 5 >= e_ || (p_[5] < 0x80 && (kCls.v[p_[5]] & C_WS)) || p_[5] == '?'))
    XmlDecl();
  bool sawRoot = false;
  bool sawDoctype = false;
  for (;;) {
    SkipWs();
    if (AtEnd()) break;
    if (*p_ != '<') {
      Err(kInvalidAtTopLevel, "Invalid at the top level of the document.", p_);
    }
    if (At("<?")) {
      p_ += 2;
      PI(docNode);
    } else if (At("<!--")) {
      p_ += 4;
      Comment(docNode);
    } else if (At("<!DOCTYPE")) {
      if (sawDoctype || sawRoot)
        Err(kInvalidAtTopLevel, "Invalid at the top level of the document.", p_);
      sawDoctype = true;
      Doctype();
    } else if (At("</")) {
      Err(kUnexpectedEndTag, "End tag was not expected at this location.", p_);
    } else if (Peek(1) < 0x80 && !(kCls.v[Peek(1)] & C_NAMESTART)) {
      Err(kInvalidAtTopLevel, "Invalid at the top level of the document.", p_);
    } else {
      if (sawRoot)
        Err(kMultipleRoots, "Only one top level element is allowed in an XML document.", p_);
      sawRoot = true;
      ++p_;
      StartTag();
      if (!st_.stack.empty()) Content(0, false);
      st_.container = docNode;
    }
  }
  if (!sawRoot) Err(kMissingRoot, "XML document must have a top level element.", p_);
}

template <int E>
void Parser<E>::XmlDecl() {
  const Unit* start = p_;
  p_ += 5;
  bool seenVersion = false, seenEncoding = false, seenStandalone = false;
  for (;;) {
    bool ws = SkipWs();
    if (At("?>")) break;
    if (AtEnd()) Eof();
    if (!ws) Err(kMissingWhitespace, "Required white space was missing.", p_);
    const Unit* at = p_;
    Atom* name = Name();
    SkipWs();
    Expect('=', kMissingEquals, "Missing equals sign between attribute and attribute value.");
    SkipWs();
    uint32_t q = Peek();
    if (q != '"' && q != '\'')
      Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.",
          p_);
    ++p_;
    const Unit* vs = p_;
    while (p_ < e_ && *p_ != q) ++p_;
    if (AtEnd()) Eof();
    std::string value(vs, p_);
    ++p_;
    WideView n = name->view();
    if (n == u"version" && !seenVersion && !seenEncoding && !seenStandalone) {
      seenVersion = true;
      bool ok = value.size() >= 3 && value[0] == '1' && value[1] == '.';
      for (size_t i = 2; ok && i < value.size(); ++i) ok = value[i] >= '0' && value[i] <= '9';
      if (!ok) Err(kInvalidVersion, "Invalid version number.", vs);
    } else if (n == u"encoding" && seenVersion && !seenEncoding && !seenStandalone) {
      seenEncoding = true;
      bool ok = !value.empty() && std::isalpha(static_cast<unsigned char>(value[0]));
      for (size_t i = 1; ok && i < value.size(); ++i) {
        char c = value[i];
        ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
      }
      if (!ok) Err(kXmlDeclSyntax, "Invalid syntax for an XML declaration.", vs);
      uint32_t cp = CodePageFromName(value);
      if ((st_.declCheck == 1 && cp != 65001) || (st_.declCheck == 2 && cp != 1200 && cp != 1201))
        Err(kEncodingSwitch, "Switch from current encoding to specified encoding not supported.",
            vs);
    } else if (n == u"standalone" && seenVersion && !seenStandalone) {
      seenStandalone = true;
      if (value != "yes" && value != "no")
        Err(kInvalidStandalone, "The standalone attribute must have the value 'yes' or 'no'.", vs);
      st_.standalone = value == "yes";
    } else {
      Err(kXmlDeclSyntax, "Invalid syntax for an XML declaration.", at);
    }
  }
  if (!seenVersion) Err(kXmlDeclSyntax, "Invalid syntax for an XML declaration.", start);
  // Keep the declaration as a processing instruction named xml.
  const Unit* dataStart = start + 5;
  while (dataStart < p_ && *dataStart < 0x80 && (kCls.v[*dataStart] & C_WS)) ++dataStart;
  const Unit* dataEnd = p_;
  while (dataEnd > dataStart && dataEnd[-1] < 0x80 && (kCls.v[dataEnd[-1]] & C_WS)) --dataEnd;
  p_ += 2;
  PIImpl* pi = doc_->NewNode<PIImpl>(NODE_PROCESSING_INSTRUCTION);
  pi->name = doc_->Name(st_.aXml, nullptr);
  st_.Begin();
  st_.Reserve(static_cast<size_t>(dataEnd - dataStart) + 1);
  for (const Unit* q = dataStart; q < dataEnd; ++q)
    *st_.w++ = (*q == 13 || *q == 9 || *q == 10) ? u' ' : static_cast<char16_t>(*q);
  pi->data = st_.itemStart;
  pi->len = static_cast<uint32_t>(st_.w - st_.itemStart);
  st_.Commit();
  LinkChild(doc_->docNode(), pi, nullptr);
}

#define MEMBERS(E)                                            \
  template void Parser<E>::Locate(size_t, ParseError&) const; \
  template void Parser<E>::GiveBackRead();                    \
  template WideString Parser<E>::LineText(const Unit*) const; \
  template void Parser<E>::Document();                        \
  template void Parser<E>::XmlDecl();
LUMO_PARSER_INSTANTIATE(MEMBERS)
#undef MEMBERS

}  // namespace Lumo::Dom::Parsing
