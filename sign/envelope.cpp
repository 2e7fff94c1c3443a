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

Dom::Node LoadObject(const Dom::Node& object) {
  TMemoryStream stream;
  {
    AnsiString text = WideToAnsi(object.text());
    stream.Reserve(text.size() / 4 * 3 + 3);
    DecodeBase64ToStream(text, stream);
  }
  stream.SetPosition(0);
  // Content as the exchange writes it, a character beyond U+FFFF as two three-byte
  // sequences, is read by the byte loader itself.
  return LoadXmlStream(stream);
}

Dom::Node Unwrap(const Dom::Node& root) {
  Dom::Node object = FindObject(root);
  if (!object) return LoadXmlString(root.xml());
  return LoadObject(object);
}

}  // namespace DEZ::Sign::Envelope
