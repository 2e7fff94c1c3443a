// Loading documents and finding elements in them.
#include "dom/xml_helpers.h"

#include <string>

#include "base/encoding.h"
#include "base/read_once_text.h"

namespace Lumo::Dom {

using namespace Lumo::Base;

namespace {

// Steps shared by the three loads: the root element, else the parse error.
Dom::Node Finish(const Dom::Document& doc) {
  if (Dom::Node root = doc.documentElement()) return root;
  Dom::Node first = doc.firstChild();
  if (!first) {
    const Dom::ParseError& pe = doc.parseError();
    if (pe.errorCode != 0) throw MakeXmlParserError(&pe);
    return Dom::Node();
  }
  if (!first.isElement()) throw EPlatformError("Interface not supported", kE_NOINTERFACE);
  return first;
}

}  // namespace

// A document for one load; a handler goes with the document (its captures may belong to
// the caller, which the document can outlive).
template <class Load>
Dom::Node LoadWith(Dom::RootChildHandler handler, Load load,
                   Base::ReadOnceText* readOnce = nullptr) {
  Dom::Document doc = Dom::Document::Create(Dom::Document::Flavour::DOMDocument);
  const bool handing = static_cast<bool>(handler);
  if (handing) doc.setRootChildHandler(std::move(handler));
  if (handing) doc.setInputReadOnce(readOnce);
  load(doc);
  if (handing) doc.setRootChildHandler(nullptr);
  doc.setInputReadOnce(nullptr);
  return Finish(doc);
}

Dom::Node LoadXmlString(WideView xml, Dom::RootChildHandler handler) {
  return LoadWith(std::move(handler), [&](Dom::Document& doc) { doc.loadXML(xml); });
}

Dom::Node LoadXmlFile(const AnsiString& fileName, Dom::RootChildHandler handler) {
  return LoadWith(std::move(handler), [&](Dom::Document& doc) { doc.load(fileName); });
}

Dom::Node LoadXmlUtf8(std::string_view bytes) {
  // Utf8Decode and the standard decoder read standard UTF-8 of one- to three-byte
  // sequences alike; anything else (encoded surrogates, four-byte or malformed
  // sequences, which Utf8Decode reads its own way) takes the wide path.
  if (!IsStandardBmpUtf8(bytes)) return LoadXmlString(Utf8Decode(bytes));
  return LoadXmlText(bytes);
}

Dom::Node LoadXmlText(std::string_view text, Dom::RootChildHandler handler) {
  return LoadWith(std::move(handler), [&](Dom::Document& doc) { doc.loadUtf8Text(text); });
}

Dom::Node LoadXmlStream(TMemoryStream& stream) { return LoadXmlBytes(stream.Remaining()); }

Dom::Node LoadXmlBytes(std::string_view bytes, Dom::RootChildHandler handler,
                       Base::ReadOnceText* readOnce) {
  return LoadWith(
      std::move(handler), [&](Dom::Document& doc) { doc.loadBytes(bytes); }, readOnce);
}

Dom::Node FindChildElement(const Dom::Node& node, const AnsiString& name) {
  if (!node) return Dom::Node();
  WideString wname = AnsiToWide(name);
  for (Dom::Node c = node.firstChild(); c; c = c.nextSibling()) {
    if (c.nodeType() != Dom::NODE_ELEMENT) continue;
    if (wname.empty() || c.baseName() == wname || c.nodeName() == wname) return c;
  }
  return Dom::Node();
}

Dom::Node FindNextElement(const Dom::Node& element, const AnsiString& name) {
  if (!element) return Dom::Node();
  WideString wname = AnsiToWide(name);
  for (Dom::Node c = element.nextSibling(); c; c = c.nextSibling()) {
    if (c.nodeType() != Dom::NODE_ELEMENT) continue;
    if (wname.empty() || c.baseName() == wname) return c;
  }
  return Dom::Node();
}

Dom::Node SelectElement(const Dom::Node& node, const AnsiString& path) {
  size_t start = 0;
  auto skip = [](char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '\\'; };
  while (start < path.size() && skip(path[start])) ++start;
  if (start == path.size()) start = 0;  // only such characters: start at the first one
  Dom::Node cur = node;
  while (cur) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    cur = FindChildElement(cur, path.substr(start, end - start));
    if (!cur || end + 1 >= path.size()) break;
    start = end + 1;
  }
  return cur;
}

EXmlParserError MakeXmlParserError(const Dom::ParseError* parseError) {
  if (!parseError) return EXmlParserError("Unknown XML error", 0);
  WideString msg = parseError->reason;
  msg += u"\r\nPosition: ";
  std::string nums = std::to_string(parseError->line) + ":" + std::to_string(parseError->linepos);
  msg.append(nums.begin(), nums.end());
  msg += u"\r\n";
  msg += parseError->srcText;
  return EXmlParserError(WideToAnsi(msg), parseError->errorCode);
}

}  // namespace Lumo::Dom
