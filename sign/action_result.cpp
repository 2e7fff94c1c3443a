// The result writer: trees through the serialiser, the text-known shapes straight from
// their text.
#include "sign/action_result.h"

#include <algorithm>
#include <string_view>

#include "base/base64.h"
#include "base/encoding.h"
#include "canon/check.h"
#include "canon/reference.h"
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

// The same element as the tree builds it.
constexpr WideView kSigValueName = u"dsig:SigValue";
constexpr WideView kSigValueDeclaration = u"xmlns:dsig";
constexpr WideView kSigValueNamespace = u"urn:dez-ru:dsig:v1.1";

// Pieces are handed on once they reach this size.
constexpr size_t kPiece = 256 * 1024;

// ASCII text handed on in pieces through out.
void PutAscii(std::string_view text, ByteString& out,
              const std::function<void(ByteString&)>& consume) {
  while (!text.empty()) {
    const size_t room = out.size() < kPiece ? kPiece - out.size() : 0;
    const size_t n = std::min(room, text.size());
    out.append(text.substr(0, n));
    text.remove_prefix(n);
    if (out.size() >= kPiece) consume(out);
  }
}

}  // namespace

void InsertSignatureValue(Dom::Node& root, const ByteString& signature) {
  Dom::Document doc = root.ownerDocument();
  Dom::Node sig = doc.createElement(kSigValueName);
  sig.setAttribute(kSigValueDeclaration, kSigValueNamespace);
  // Base64 is ASCII, one character per unit: written straight into the element's text.
  sig.setTextWritten(Base64Length(signature.size()),
                     [&signature](char16_t* out) { EncodeBase64To(signature, out); });
  root.insertBefore(sig, root.firstChild());
}

ActionResult ActionResult::FromEnvelopeTexts(AnsiString signatureValue, AnsiString object,
                                             bool signatureIsObject) {
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
  // Checking builds keep everything handed on, to set it against the tree route below.
  ByteString written;
  const ByteString signatureKept = Lumo::Canon::kCheckShortcuts ? signature : ByteString();
  std::function<void(ByteString&)> handOn = consume;
  if (Lumo::Canon::kCheckShortcuts) {
    handOn = [&written, &consume](ByteString& piece) {
      written += piece;
      consume(piece);
    };
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
      if (out.size() >= kPiece) handOn(out);
    }
    out += kSigValueEnd;
    ByteString().swap(signature);
  };
  Lumo::Canon::WriteParsedMarkup(fixedText, insertSignature, handOn);
  if (!Lumo::Canon::kCheckShortcuts) return;
  // The markup written from the text must be the tree the text parses into, with the
  // signature value put in it as the tree route puts it.
  Lumo::Canon::Check::Agrees("result markup written from the settled text", fixedText.size(),
                             written, [&] {
                               Dom::Node result = Lumo::Canon::Reference::ParseCanonical(fixedText);
                               InsertSignatureValue(result, signatureKept);
                               ByteString markup;
                               result.appendXmlUtf8(markup);
                               return markup;
                             });
}

void ActionResult::AppendXml(WideString& out) {
  if (tree) {
    tree.appendXml(out);
    return;
  }
  // The markup is about as long as the texts it is written from.
  out.reserve(out.size() + fixedText.size() + fixedText.size() / 8 +
              Base64Length(signature.size()) + envelopeObject.size() + envelopeSignature.size() +
              256);
  WriteUtf8([&out](ByteString& bytes) {
    out += Utf8Decode(bytes);
    bytes.clear();
  });
}

}  // namespace Lumo::Sign
