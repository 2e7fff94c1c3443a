// Loading documents and finding elements in them.
#include "dom/xml_helpers.h"

#include <string>

#include "base/encoding.h"

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

Dom::Node LoadXmlString(WideView xml) {
  Dom::Document doc = Dom::Document::Create(Dom::Document::Flavour::DOMDocument);
  doc.loadXML(xml);
  return Finish(doc);
}

Dom::Node LoadXmlFile(const AnsiString& fileName) {
  Dom::Document doc = Dom::Document::Create(Dom::Document::Flavour::DOMDocument);
  doc.load(fileName);
  return Finish(doc);
}

Dom::Node LoadXmlUtf8(std::string_view bytes) {
  // The byte loader looks for a byte-order mark, a UTF-16 signature and an encoding
  // declaration before it settles on UTF-8, and its decoder is the standard one; text
  // that gives it none of these, in standard UTF-8 without encoded surrogates, reads
  // as the same characters either way. Anything else takes the wide path.
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  bool plain = n >= 4 && b[0] != 0xEF && b[0] != 0 && b[1] != 0 && b[2] != 0 && b[3] != 0 &&
               bytes.substr(0, 5) != "<?xml" && IsStandardBmpUtf8(bytes);
  if (!plain) return LoadXmlString(Utf8Decode(bytes));
  Dom::Document doc = Dom::Document::Create(Dom::Document::Flavour::DOMDocument);
  doc.loadBytes(bytes);
  return Finish(doc);
}

Dom::Node LoadXmlStream(TMemoryStream& stream) { return LoadXmlBytes(stream.Remaining()); }

Dom::Node LoadXmlBytes(std::string_view bytes) {
  Dom::Document doc = Dom::Document::Create(Dom::Document::Flavour::DOMDocument);
  doc.loadBytes(bytes);
  return Finish(doc);
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
