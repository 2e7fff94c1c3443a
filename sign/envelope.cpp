// Writing and reading the signature envelope.
#include "sign/envelope.h"

#include "util/base64.h"
#include "util/encoding.h"
#include "util/stream.h"
#include "util/xml_helpers.h"

namespace DEZ::Sign::Envelope {

using namespace Lumo;

namespace {

// ASCII text (the fixed pieces, Base64) widened one byte per character.
void AppendAscii(WideString& out, std::string_view ascii) {
  size_t at = out.size();
  out.resize(at + ascii.size());
  char16_t* p = out.data() + at;
  for (unsigned char c : ascii) *p++ = c;
}

size_t FixedSize() { return kOpening.size() + kMiddle.size() + kClosing.size(); }

}  // namespace

WideString BuildText(std::string_view signatureValue, WideView objectContent) {
  WideString text;
  text.reserve(FixedSize() + signatureValue.size() + objectContent.size());
  AppendAscii(text, kOpening);
  AppendAscii(text, signatureValue);
  AppendAscii(text, kMiddle);
  text.append(objectContent);
  AppendAscii(text, kClosing);
  return text;
}

WideString BuildTextAscii(std::string_view signatureValue, std::string_view objectContent) {
  WideString text;
  text.reserve(FixedSize() + signatureValue.size() + objectContent.size());
  AppendAscii(text, kOpening);
  AppendAscii(text, signatureValue);
  AppendAscii(text, kMiddle);
  AppendAscii(text, objectContent);
  AppendAscii(text, kClosing);
  return text;
}

Dom::Node Build(std::string_view signatureValue, std::string_view objectContent) {
  return LoadXmlString(BuildTextAscii(signatureValue, objectContent));
}

bool IsEnvelopeRoot(const Dom::Node& root) {
  return root && root.nodeType() == Dom::NODE_ELEMENT && root.baseName() == kRootName;
}

Dom::Node FindSignatureValue(const Dom::Node& root) { return SelectElement(root, kSignaturePath); }

Dom::Node FindObject(const Dom::Node& root) { return SelectElement(root, kObjectPath); }

ByteString DecodeValue(const Dom::Node& element) {
  return DecodeBase64(WideToAnsi(element.text()));
}

namespace {

// An encoded UTF-16 surrogate: a three-byte sequence ED A0..BF xx.
bool HasEncodedSurrogate(std::string_view bytes) {
  for (size_t i = bytes.find('\xED'); i != std::string_view::npos; i = bytes.find('\xED', i + 1))
    if (i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) >= 0xA0 &&
        static_cast<unsigned char>(bytes[i + 1]) <= 0xBF)
      return true;
  return false;
}

}  // namespace

Dom::Node LoadObject(const Dom::Node& object) {
  TMemoryStream stream;
  {
    AnsiString text = WideToAnsi(object.text());
    stream.Reserve(text.size() / 4 * 3 + 3);
    DecodeBase64ToStream(text, stream);
  }
  stream.SetPosition(0);
  try {
    return LoadXmlStream(stream);
  } catch (const EXmlParserError&) {
    // Envelopes carry the document as the library writes it: UTF-8 one UTF-16 unit at
    // a time, so a character beyond U+FFFF is two three-byte sequences. The byte loader
    // reads them where the content declares UTF-8; content without that declaration
    // (Base64 envelopes carry the client's bytes) is read again as that text (its
    // declaration is then ignored); failing that, the first error stands.
    const std::string& bytes = stream.Data();
    if (!HasEncodedSurrogate(bytes)) throw;
    WideString text = Utf8Decode(bytes);
    if (text.empty()) throw;
    try {
      return LoadXmlString(text);
    } catch (const EXmlParserError&) {
    }
    throw;
  }
}

Dom::Node Unwrap(const Dom::Node& root) {
  Dom::Node object = FindObject(root);
  if (!object) return LoadXmlString(root.xml());
  return LoadObject(object);
}

}  // namespace DEZ::Sign::Envelope
