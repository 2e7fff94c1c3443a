// Key profile: the canonical pass and the actions other than Root (each child, envelope,
// Base64 envelope, verify, extract).
#include <string>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/check.h"
#include "canon/reference.h"
#include "canon/settled_text.h"
#include "dom/xml_helpers.h"
#include "provider/signatura.h"
#include "sign/envelope.h"
#include "sign/profile.h"

namespace Lumo::Sign {

using namespace Lumo::Base;
using namespace Lumo::Dom;
using Lumo::Provider::TSignatura;

namespace {

constexpr const char* kNoMACValue = "Ошибка проверки КА: Не найден элемент MACValue";
constexpr const char* kNoObject = "Ошибка проверки КА: Не найден элемент Object";
constexpr const char* kBase64BadChar =
    "Ошибка формирования КА: Недопустимый символ в тексте Base64, позиция ";
constexpr const char* kBase64Empty = "Ошибка формирования КА: Нет данных в тексте Base64";

// Client text for the object content is put into the envelope without escaping: only
// characters that can neither be markup nor change the carried bytes may pass, and the
// text must carry data (the lenient decoder would make a byte even of "=").
void CheckBase64Text(WideView text) {
  bool data = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool alphabet = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') ||
                          (c >= u'0' && c <= u'9') || c == u'+' || c == u'/';
    if (!alphabet && c != u'=' && c != u' ' && c != u'\t' && c != u'\r' && c != u'\n')
      throw ELumoDEZError(kBase64BadChar + std::to_string(i + 1));
    data = data || alphabet;
  }
  if (!data) throw ELumoDEZError(kBase64Empty);
}

}  // namespace

Dom::Node TProfile::FixedPrefixTree(Dom::Node root) {
  bool settled = false;
  ByteString c0 = Lumo::Canon::FixedCanonicalText(std::move(root), settled);
  return LoadXmlUtf8(c0);  // LoadXmlString(Utf8Decode(c0))
}

Dom::Node TProfile::Process(Dom::Node root, uint8_t action) {
  // The input document is no longer needed once its markup is taken.
  if (action == saRoot) return SignForm(Lumo::Canon::RootFormOfDocument(std::move(root), false));
  Dom::Node r = FixedPrefixTree(std::move(root));
  switch (action) {
    case saChilds: return SignChilds(std::move(r));
    case saEnvelope: return MakeEnvelope(std::move(r));
    case saVerify: return VerifyEnvelope(std::move(r));
    case saExtract: return ExtractEnvelope(std::move(r));
    default: return r;
  }
}

Dom::Node TProfile::SignChilds(Dom::Node parent) {
  Dom::Node child = FindChildElement(parent, "");
  while (child) {
    Dom::Node next = FindNextElement(child, "");
    // Copied into the parent, not adopted: the signed child's document goes at once, so
    // that a packet of many small documents does not keep a storage per child.
    Dom::Node signedChild = SignRoot(LoadXmlString(child.xml()));
    parent.replaceChild(signedChild.copyInto(parent), child);
    child = std::move(next);
  }
  // The result is the parent's markup parsed again; the markup is held narrow, and the
  // parent goes before the result is built.
  ByteString markup;
  parent.appendXmlUtf8(markup);
  parent = Dom::Node();
  return LoadXmlUtf8(markup);
}

ActionResult TProfile::RunEnvelope(Dom::Node root) {
  return EnvelopeOf(CarriedBytes(std::move(root)));
}

ByteString TProfile::CarriedBytes(Dom::Node root) {
  bool settled = false;
  ByteString c0 = Lumo::Canon::FixedCanonicalText(std::move(root), settled);
  ByteString numbered;
  if (Lumo::Canon::Reference::Forced() || !settled ||
      !Lumo::Canon::NumberedFromSettledText(c0, numbered)) {
    Dom::Node tree = LoadXmlUtf8(c0);
    ByteString().swap(c0);
    return CarriedBytesOfTree(std::move(tree));
  }
  ByteString().swap(numbered);
  // The markup of the tree a settled text parses into is known from the text: the tree
  // is never built.
  ByteString data(XmlHeaderAnsi);
  data.reserve(data.size() + c0.size() + c0.size() / 8);
  Lumo::Canon::WriteParsedMarkup(c0, nullptr, [&data](ByteString& piece) {
    data += piece;
    piece.clear();
  });
  if (Lumo::Canon::kCheckShortcuts) {
    Lumo::Canon::Check::Agrees("envelope data written from the settled text", c0.size(), data, [&] {
      return CarriedBytesOfTree(Lumo::Canon::Reference::ParseCanonical(c0));
    });
  }
  return data;
}

ByteString TProfile::CarriedBytesOfTree(Dom::Node root) {
  ByteString data(XmlHeaderAnsi);
  root.appendXmlUtf8(data);
  return data;
}

ActionResult TProfile::EnvelopeOf(ByteString data) {
  AnsiString object = EncodeBase64(data);
  if (IsTestMode()) {
    // The signature of the data is the data itself: the same Base64 text serves twice.
    ByteString().swap(data);
    return ActionResult::FromEnvelopeTexts(AnsiString(), std::move(object), true);
  }
  SignInPlace(data);
  AnsiString signature = EncodeBase64(data);
  ByteString().swap(data);
  return ActionResult::FromEnvelopeTexts(std::move(signature), std::move(object), false);
}

Dom::Node TProfile::MakeEnvelope(Dom::Node root) {
  ActionResult result = EnvelopeOf(CarriedBytesOfTree(std::move(root)));
  if (result.tree) return result.tree;
  return Envelope::Build(
      result.signatureIsObject ? result.envelopeObject : result.envelopeSignature,
      result.envelopeObject);
}

Dom::Node TProfile::MakeBase64Envelope(WideView text) {
  CheckBase64Text(text);
  ByteString data = DecodeBase64(WideToAnsi(text));
  SignInPlace(data);
  AnsiString signature = EncodeBase64(data);
  ByteString().swap(data);
  // The client's text goes in unaltered, without escaping (it was checked above).
  return LoadXmlString(Envelope::BuildText(signature, text));
}

Dom::Node TProfile::VerifyEnvelope(Dom::Node root) {
  if (IsTestMode()) return ExtractEnvelope(std::move(root));
  if (!Envelope::IsEnvelopeRoot(root)) return Dom::Node();
  ByteString data;
  {
    Dom::Node mac = Envelope::FindSignatureValue(root);
    if (!mac) throw ELumoDEZError(kNoMACValue);
    ByteString signature = Envelope::DecodeValue(mac);
    Dom::Node object = Envelope::FindObject(root);
    if (!object) throw ELumoDEZError(kNoObject);
    data = Envelope::DecodeValue(object);
    TSignatura::VerifyDetached(Context, data, signature, 0);
  }
  // Unwrapping would decode the same object text again: the verified bytes are parsed,
  // once the envelope is let go.
  root = Dom::Node();
  return Envelope::LoadContent(data);
}

Dom::Node TProfile::UnwrapWritten(ByteString text, const Envelope::WrittenLayout& layout,
                                  uint8_t action) {
  Envelope::DecodedValues values;
  {
    const std::string_view written(text);
    if (ChecksSignature(action))
      values.signature = DecodeBase64(written.substr(layout.signatureAt, layout.signatureSize));
    values.object = DecodeBase64(written.substr(layout.objectAt, layout.objectSize));
    ByteString().swap(text);
  }
  return UnwrapDecoded(std::move(values), action);
}

bool TProfile::ChecksSignature(uint8_t action) const { return action == saVerify && !IsTestMode(); }

Dom::Node TProfile::UnwrapDecoded(Envelope::DecodedValues values, uint8_t action) {
  // What VerifyEnvelope and ExtractEnvelope do with the envelope's values, in that order.
  if (ChecksSignature(action))
    TSignatura::VerifyDetached(Context, values.object, values.signature, 0);
  ByteString().swap(values.signature);
  return Envelope::LoadContent(values.object);
}

Dom::Node TProfile::ExtractEnvelope(Dom::Node root) {
  return Envelope::UnwrapTaking(std::move(root));
}

}  // namespace Lumo::Sign
