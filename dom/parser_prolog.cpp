// The document level: the XML declaration, what may stand around the root element, and
// the line and column of an error.

#include "dom/parser_impl.h"

namespace Lumo::Dom::Parsing {

template <int E>
void Parser<E>::Locate(size_t pos, ParseError& pe) const {
  const Unit* target = b_ + std::min(pos, static_cast<size_t>(e_ - b_));
  const Unit* p = b_;
  const Unit* lineStart = b_;
  int32_t line = 1;
  int32_t col = 1;
  int32_t chars = 0;
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
  WideString src;
  p = lineStart;
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
  pe.srcText = std::move(src);
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
  template void Parser<E>::Document();                        \
  template void Parser<E>::XmlDecl();
LUMO_PARSER_INSTANTIATE(MEMBERS)
#undef MEMBERS

}  // namespace Lumo::Dom::Parsing
