#include "dom/encoding_detect.h"

#include <cstring>

#include "base/encoding.h"
#include "dom/xml_chars.h"

namespace Lumo::Dom {

namespace {

// The encoding the declaration names, read as ASCII from the declaration's first 4096
// bytes: the parser has not run yet, so only the pseudo-attribute is looked for.
void ReadDeclaredEncoding(std::string_view b, DetectedEncoding& d) {
  if (b.size() < 6 || b.substr(0, 5) != "<?xml") return;
  size_t end = 5;
  while (end + 1 < b.size() && !(b[end] == '?' && b[end + 1] == '>') && end < 4096) ++end;
  const std::string_view decl = b.substr(0, end);
  const size_t k = decl.find("encoding");
  if (k == std::string_view::npos) return;
  size_t i = k + 8;
  while (i < decl.size() && IsXmlSpace(static_cast<unsigned char>(decl[i]))) ++i;
  if (i >= decl.size() || decl[i] != '=') return;
  ++i;
  while (i < decl.size() && IsXmlSpace(static_cast<unsigned char>(decl[i]))) ++i;
  if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return;
  const char q = decl[i++];
  const size_t j = decl.find(q, i);
  if (j == std::string_view::npos) return;
  d.declared = true;
  d.namePos = i;
  d.nameEnd = j;
  d.codePage = Base::CodePageFromName(decl.substr(i, j - i));
  if (d.codePage == 0) d.kind = DetectedEncoding::kUnsupported;
  else if (d.codePage == 1200 || d.codePage == 1201)
    d.kind = DetectedEncoding::kSwitch;
  else if (d.codePage != 65001)
    d.kind = Base::CodePageTable(d.codePage) ? DetectedEncoding::kCodePage
                                             : DetectedEncoding::kUnsupported;
}

}  // namespace

DetectedEncoding DetectEncoding(std::string_view b) noexcept {
  DetectedEncoding d;
  const auto at = [&](size_t i) { return static_cast<unsigned char>(b[i]); };
  const size_t n = b.size();
  if (n >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
    d.bomLength = 3;
  } else if (n >= 2 && at(0) == 0xFF && at(1) == 0xFE) {
    d.kind = DetectedEncoding::kUtf16LE;
    d.bomLength = 2;
  } else if (n >= 2 && at(0) == 0xFE && at(1) == 0xFF) {
    d.kind = DetectedEncoding::kUtf16BE;
    d.bomLength = 2;
  } else if (n >= 4 && at(0) == '<' && at(1) == 0 && at(2) == '?' && at(3) == 0) {
    d.kind = DetectedEncoding::kUtf16LE;
  } else if (n >= 4 && at(0) == 0 && at(1) == '<' && at(2) == 0 && at(3) == '?') {
    d.kind = DetectedEncoding::kUtf16BE;
  } else {
    ReadDeclaredEncoding(b, d);
    return d;
  }
  if (d.kind != DetectedEncoding::kUtf8)
    d.codePage = d.kind == DetectedEncoding::kUtf16LE ? 1200 : 1201;
  return d;
}

}  // namespace Lumo::Dom
