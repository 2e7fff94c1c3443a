// Loading a document: the state of one parse, the choice of parser instance by the
// source's encoding, and the outcome (a tree, or the error with its place).
#include "dom/xml_parser.h"

#include <cstring>
#include <string>

#include "base/encoding.h"
#include "dom/dom_impl.h"
#include "dom/encoding_detect.h"
#include "dom/parser_impl.h"
#include "dom/xml_chars.h"

namespace Lumo::Dom {

namespace Parsing {
namespace {

void InitState(State& st) {
  DocumentImpl* d = st.doc;
  d->ResetParseData();
  st.aXml = d->Intern(u"xml");
  st.aXmlns = d->Intern(u"xmlns");
  st.aXmlSpace = d->InternQName(u"xml:space");
  st.uXml = d->Intern(u"http://www.w3.org/XML/1998/namespace");
  st.uXmlns = d->Intern(u"http://www.w3.org/2000/xmlns/");
  for (const char16_t* n : {u"lt", u"gt", u"amp", u"apos", u"quot"}) d->Intern(n);
  st.aXml->nsUri = st.uXml;
  st.Touch(st.aXml);
}

template <int E>
bool Run(DocumentImpl* doc, const typename Parser<E>::Unit* data, size_t n, const char16_t* table,
         int declCheck = 0, bool borrow = false, bool encodedPairs = false) {
  State st(doc);
  InitState(st);
  st.declCheck = declCheck;
  st.borrow = borrow;
  st.encodedPairs = encodedPairs;
  Parser<E> p(st, data, n, table, true);
  doc->loadedChars = n;
  try {
    p.Document();
    doc->ResetParseData();
    return true;
  } catch (const ParseFail&) {
    doc->error = ParseError();
    doc->error.errorCode = static_cast<int32_t>(st.code);
    doc->error.reason = st.reason;
    p.Locate(st.errPos, doc->error);
    doc->ResetParseData();
    return false;
  }
}

void SetError(DocumentImpl* doc, uint32_t code, const char* reason) {
  doc->error = ParseError();
  doc->error.errorCode = static_cast<int32_t>(code);
  doc->error.reason = W(reason);
  doc->error.line = 1;
  doc->error.linepos = 1;
}

}  // namespace
}  // namespace Parsing

using namespace Parsing;

bool ParseWide(DocumentImpl* doc, WideView text, bool borrow) {
  return Run<kU16>(doc, text.data(), text.size(), nullptr, 0, borrow);
}

bool ParseUtf8Text(DocumentImpl* doc, std::string_view text) {
  return Run<kUtf8>(doc, reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr);
}

bool ParseBytes(DocumentImpl* doc, std::string_view bytes) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  const DetectedEncoding enc = DetectEncoding(bytes);
  switch (enc.kind) {
    case DetectedEncoding::kUtf8:
      // A byte order mark binds the declaration to UTF-8; without one, a declaration of
      // UTF-8 admits surrogate pairs written as two sequences (see Decode).
      if (enc.bomLength) return Run<kUtf8>(doc, b + enc.bomLength, n - enc.bomLength, nullptr, 1);
      return Run<kUtf8>(doc, b, n, nullptr, 0, false, enc.declared);
    case DetectedEncoding::kUtf16LE:
    case DetectedEncoding::kUtf16BE: {
      const size_t start = enc.bomLength;
      if ((n - start) % 2) {
        SetError(doc, kIncompleteEncoding,
                 "End of file reached in invalid state for current encoding.");
        return false;
      }
      const bool le = enc.kind == DetectedEncoding::kUtf16LE;
      std::u16string wide((n - start) / 2, u'\0');
      for (size_t i = 0; i < wide.size(); ++i) {
        uint8_t lo = b[start + 2 * i + (le ? 0 : 1)];
        uint8_t hi = b[start + 2 * i + (le ? 1 : 0)];
        wide[i] = static_cast<char16_t>(lo | (hi << 8));
      }
      return Run<kU16>(doc, wide.data(), wide.size(), nullptr, 2);
    }
    case DetectedEncoding::kCodePage: return Run<kSbcs>(doc, b, n, CodePageTable(enc.codePage));
    case DetectedEncoding::kUnsupported:
    case DetectedEncoding::kSwitch: break;
  }
  if (enc.kind == DetectedEncoding::kSwitch)
    SetError(doc, kEncodingSwitch,
             "Switch from current encoding to specified encoding not supported.");
  else
    SetError(doc, kUnsupportedEncoding, "System does not support the specified encoding.");
  if (enc.codePage == 0 || enc.kind == DetectedEncoding::kSwitch) {
    // Position: the encoding name in the first line.
    State st(doc);
    Parser<kUtf8> p(st, b, n, nullptr, true);
    p.Locate(enc.namePos, doc->error);
  }
  return false;
}

void SetLoadError(DocumentImpl* doc, int32_t code, WideView reason) {
  doc->error = ParseError();
  doc->error.errorCode = code;
  doc->error.reason = WideString(reason);
}

}  // namespace Lumo::Dom
