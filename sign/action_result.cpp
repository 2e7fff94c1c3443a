// The result writer: trees through the serialiser, the text-known shapes straight from
// their text.
#include "sign/action_result.h"

#include <algorithm>
#include <string_view>

#include "base/base64.h"
#include "base/encoding.h"
#include "canon/settled_text.h"
#include "sign/envelope.h"

namespace Lumo::Sign {

using namespace Lumo::Base;

namespace {

// The signature value element as the tree writes it when it is put first into a signed
// root (no namespace is bound to the name; the declaration is an attribute).
constexpr std::string_view kSigValueStart = "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">";
constexpr std::string_view kSigValueEnd = "</dsig:SigValue>";
constexpr std::string_view kSigValueEmpty = "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\"/>";

// Pieces are handed on once they reach this size.
constexpr size_t kPiece = 256 * 1024;

// ASCII text handed on in pieces through out.
void PutAscii(std::string_view text, ByteString& out, const std::function<void(ByteString&)>& consume) {
  while (!text.empty()) {
    const size_t room = out.size() < kPiece ? kPiece - out.size() : 0;
    const size_t n = std::min(room, text.size());
    out.append(text.substr(0, n));
    text.remove_prefix(n);
    if (out.size() >= kPiece) consume(out);
  }
}

}  // namespace

ActionResult ActionResult::FromEnvelopeTexts(AnsiString signatureValue, AnsiString object, bool signatureIsObject) {
  ActionResult result;
  if (object.empty() || (!signatureIsObject && signatureValue.empty())) {
    result.tree = Envelope::Build(signatureIsObject ? object : signatureValue, object);
    return result;
  }
  result.envelopeSignature = std::move(signatureValue);
  result.envelopeObject = std::move(object);
  result.signatureIsObject = signatureIsObject;
  return result;
}

void ActionResult::WriteUtf8(const std::function<void(ByteString&)>& consume) {
  if (tree) {
    tree.writeXmlUtf8(consume);
    return;
  }
  if (!envelopeObject.empty()) {
    ByteString out;
    out.reserve(kPiece);
    PutAscii(Envelope::kOpening, out, consume);
    PutAscii(signatureIsObject ? envelopeObject : envelopeSignature, out, consume);
    AnsiString().swap(envelopeSignature);
    PutAscii(Envelope::kMiddle, out, consume);
    PutAscii(envelopeObject, out, consume);
    AnsiString().swap(envelopeObject);
    PutAscii(Envelope::kClosing, out, consume);
    if (!out.empty()) consume(out);
    return;
  }
  auto insertSignature = [&](ByteString& out) {
    if (signature.empty()) {
      out += kSigValueEmpty;
      return;
    }
    out += kSigValueStart;
    // Base64 a slice at a time, handed on whenever a piece is full.
    constexpr size_t kSlice = 3 * 16384;
    for (size_t at = 0; at < signature.size(); at += kSlice) {
      out += EncodeBase64(std::string_view(signature).substr(at, kSlice));
      if (out.size() >= kPiece) consume(out);
    }
    out += kSigValueEnd;
    ByteString().swap(signature);
  };
  Lumo::Canon::WriteParsedMarkup(fixedText, insertSignature, consume);
}

void ActionResult::AppendXml(WideString& out) {
  if (tree) {
    tree.appendXml(out);
    return;
  }
  // The markup is about as long as the texts it is written from.
  out.reserve(out.size() + fixedText.size() + fixedText.size() / 8 + Base64Length(signature.size()) +
              envelopeObject.size() + envelopeSignature.size() + 256);
  WriteUtf8([&out](ByteString& bytes) {
    out += Utf8Decode(bytes);
    bytes.clear();
  });
}

}  // namespace Lumo::Sign
