// An XML file's bytes as text, in the encoding a file load finds.
#include "dom/xml_text.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "base/encoding.h"
#include "dom/encoding_detect.h"

namespace Lumo::Dom {

namespace {

Lumo::Base::WideString DecodeUtf16(std::string_view bytes, bool bigEndian) {
  if (bytes.size() % 2) throw std::runtime_error("UTF-16 text ends in the middle of a character");
  Lumo::Base::WideString out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned char a = static_cast<unsigned char>(bytes[i]);
    unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
    out.push_back(static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a));
  }
  return out;
}

// UTF-8 bytes as text; bytes that are not UTF-8 are refused as the file loader refuses
// them, never repaired with U+FFFD and then signed.
Lumo::Base::WideString FromUtf8(std::string_view bytes, size_t skipped) {
  const size_t bad = Lumo::Base::InvalidUtf8Offset(bytes);
  if (bad != std::string_view::npos)
    throw std::runtime_error("the input is not valid UTF-8 (byte offset " +
                             std::to_string(skipped + bad) + ")");
  return Lumo::Base::WideFromUtf8(bytes);
}

}  // namespace

Lumo::Base::WideString DecodeXmlText(const std::string& bytes) {
  const std::string_view b(bytes);
  const DetectedEncoding enc = DetectEncoding(b);
  switch (enc.kind) {
    case DetectedEncoding::kUtf8: return FromUtf8(b.substr(enc.bomLength), enc.bomLength);
    case DetectedEncoding::kUtf16LE: return DecodeUtf16(b.substr(enc.bomLength), false);
    case DetectedEncoding::kUtf16BE: return DecodeUtf16(b.substr(enc.bomLength), true);
    case DetectedEncoding::kCodePage: return Lumo::Base::AnsiToWideCP(b, enc.codePage);
    case DetectedEncoding::kSwitch: throw std::runtime_error("UTF-16 text needs a byte order mark");
    case DetectedEncoding::kUnsupported: break;
  }
  throw std::runtime_error("unknown encoding \"" +
                           std::string(b.substr(enc.namePos, enc.nameEnd - enc.namePos)) + "\"");
}

std::string_view Utf8XmlText(const std::string& bytes, std::string& converted) {
  const DetectedEncoding enc = DetectEncoding(bytes);
  if (enc.kind == DetectedEncoding::kUtf8) {
    const std::string_view text = std::string_view(bytes).substr(enc.bomLength);
    const size_t bad = Lumo::Base::InvalidUtf8Offset(text);
    if (bad != std::string_view::npos)
      throw std::runtime_error("the input is not valid UTF-8 (byte offset " +
                               std::to_string(enc.bomLength + bad) + ")");
    return text;
  }
  // One unit at a time, then the pairs joined: a lone surrogate keeps its own sequence.
  converted = Lumo::Base::Utf8Encode(DecodeXmlText(bytes));
  Lumo::Base::JoinEncodedSurrogatePairs(converted);
  return converted;
}

}  // namespace Lumo::Dom
