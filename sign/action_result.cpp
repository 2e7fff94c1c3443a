// The result writer: trees through the serialiser, the text-known shapes straight from
// their text.
#include "sign/action_result.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/read_once_text.h"
#include "canon/canonical.h"
#include "canon/reference.h"
#include "canon/settled_text.h"
#include "canon/shortcut.h"
#include "dom/xml_helpers.h"
#include "sign/envelope.h"

namespace Lumo::Sign {

using namespace Lumo::Base;
using Lumo::Canon::Shortcut;
namespace Shortcuts = Lumo::Canon::Shortcuts;

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

// ASCII text handed on in pieces through out; with readOnce (made on text), said read as
// it goes.
void PutAscii(std::string_view text, ByteString& out,
              const std::function<void(ByteString&)>& consume, ReadOnceText* readOnce = nullptr) {
  for (size_t at = 0; at < text.size();) {
    const size_t room = out.size() < kPiece ? kPiece - out.size() : 0;
    const size_t n = std::min(room, text.size() - at);
    out.append(text.substr(at, n));
    at += n;
    if (out.size() < kPiece) continue;
    consume(out);
    if (readOnce) readOnce->ReadUpTo(0, at);
  }
}

// The Base64 text of bytes, a slice at a time (a whole number of 3-byte groups, so the
// text is the same as in one go), handed on whenever the piece is full; with readOnce
// (made on bytes), the bytes are said read as they go.
void PutBase64(std::string_view bytes, ByteString& out,
               const std::function<void(ByteString&)>& consume, ReadOnceText* readOnce = nullptr) {
  constexpr size_t kSlice = 3 * 16384;
  for (size_t at = 0; at < bytes.size(); at += kSlice) {
    const std::string_view slice = bytes.substr(at, kSlice);
    const size_t from = out.size();
    out.resize(from + Base64Length(slice.size()));
    EncodeBase64To(slice, out.data() + from);
    if (out.size() < kPiece) continue;
    consume(out);
    if (readOnce) readOnce->ReadUpTo(0, at + slice.size());
  }
}

// The signature value element as the tree writes it; readOnce as for PutBase64.
void AppendSignatureValue(const ByteString& signature, ByteString& out,
                          const std::function<void(ByteString&)>& consume,
                          ReadOnceText* readOnce = nullptr) {
  if (signature.empty()) {
    out += kSigValueEmpty;
    return;
  }
  out += kSigValueStart;
  PutBase64(signature, out, consume, readOnce);
  out += kSigValueEnd;
}

// What one child signed and its signature, kept by checking builds.
struct ChildSigning {
  ByteString signedBytes, signature;
};

// The Root steps the long way on a child's own document, with the signature the written
// result used; what the written child signed must be what these steps sign.
Dom::Node ReferenceSignedChild(Dom::Node child, const ChildSigning& signing) {
  using Lumo::Canon::PrefixScheme;
  ByteString c = Lumo::Canon::Reference::CanonicalText(child, PrefixScheme::Fixed);
  child = Dom::Node();
  Shortcuts::Answered(Shortcut::ChildSlice, c.size(), signing.signedBytes, [&] {
    return Lumo::Canon::Reference::CanonicalTextOfText(c, PrefixScheme::Numbered);
  });
  Dom::Node r2 = Lumo::Canon::Reference::ParseCanonical(c);
  InsertSignatureValue(r2, signing.signature);
  return r2;
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

ActionResult ActionResult::FromEnvelope(ByteString data, ByteString signature,
                                        bool signatureIsData) {
  ActionResult result;
  if (data.empty() || (!signatureIsData && signature.empty())) {
    const AnsiString object = EncodeBase64(data);
    result.tree = Envelope::Build(signatureIsData ? object : EncodeBase64(signature), object);
    return result;
  }
  result.envelopeData = std::move(data);
  if (!signatureIsData) result.envelopeSignature = std::move(signature);
  result.signatureIsData = signatureIsData;
  return result;
}

Dom::Node SignEachChild(Dom::Node parent, const std::function<Dom::Node(Dom::Node)>& signRoot) {
  Dom::Node child = Dom::FindChildElement(parent, "");
  while (child) {
    Dom::Node next = Dom::FindNextElement(child, "");
    // Copied into the parent, not adopted: the signed child's document goes at once, so
    // that a packet of many small documents does not keep a storage per child.
    Dom::Node signedChild = signRoot(Dom::LoadXmlString(child.xml()));
    parent.replaceChild(signedChild.copyInto(parent), child);
    child = std::move(next);
  }
  // The result is the parent's markup parsed again; the markup is held narrow, and the
  // parent goes before the result is built.
  ByteString markup;
  parent.appendXmlUtf8(markup);
  parent = Dom::Node();
  return Dom::LoadXmlUtf8(markup);
}

void ActionResult::WriteChilds(const std::function<void(ByteString&)>& consume) {
  // Checking builds keep what is handed on and what each child signed, to set them
  // against the tree route.
  std::vector<ChildSigning> signings;
  Shortcuts::Written written;
  const ByteString textKept = Shortcuts::KeptForCheck(childsText);
  const std::function<void(ByteString&)> handOn = [&written, &consume](ByteString& piece) {
    written.Add(piece);
    consume(piece);
  };
  // Each child as Root signs a document of its own: from its fixed-prefix text, mostly
  // without a tree; one buffer holds the signed bytes of child after child.
  ByteString signedBytes;
  auto signChild = [&](std::string_view childText, ByteString& out) {
    Lumo::Canon::RootForm form;
    const bool asText = Lumo::Canon::NumberedOfSettledChild(childText, signedBytes);
    if (!asText) {
      form = Lumo::Canon::RootFormOfFixedText(ByteString(childText), true);
      signedBytes = std::move(form.signedBytes);
    }
    if constexpr (Lumo::Canon::kCheckShortcuts) signings.push_back({signedBytes, {}});
    signInPlace(signedBytes);
    if constexpr (Lumo::Canon::kCheckShortcuts) signings.back().signature = signedBytes;
    if (form.tree) {
      InsertSignatureValue(form.tree, signedBytes);
      form.tree.appendXmlUtf8(out);
      return;
    }
    Lumo::Canon::WriteParsedMarkup(
        asText ? childText : std::string_view(form.text),
        [&](ByteString& o) { AppendSignatureValue(signedBytes, o, handOn); }, out, handOn);
  };
  // The text's pages go back as the result is handed on: read no further.
  ReadOnceText readOnce(childsText);
  Lumo::Canon::WriteParsedMarkupReplacingChildren(childsText, signChild, handOn, &readOnce);
  ByteString().swap(childsText);
  Shortcuts::Answered(Shortcut::ChildsResult, textKept.size(), written.bytes(), [&] {
    size_t k = 0;
    auto signRoot = [&](Dom::Node child) {
      return ReferenceSignedChild(std::move(child), signings.at(k++));
    };
    ByteString markup;
    SignEachChild(Lumo::Canon::Reference::ParseCanonical(textKept), signRoot).appendXmlUtf8(markup);
    return markup;
  });
}

void ActionResult::WriteUtf8(const std::function<void(ByteString&)>& consume) {
  if (tree) {
    tree.writeXmlUtf8(consume);
    return;
  }
  if (!childsText.empty()) {
    WriteChilds(consume);
    return;
  }
  if (!envelopeData.empty()) {
    ByteString out;
    out.reserve(kPiece + Base64Length(3 * 16384));
    PutAscii(Envelope::kOpening, out, consume);
    if (signatureIsData) {
      // The same text in both places: made once, the data let go before it is written.
      AnsiString text = EncodeBase64(envelopeData);
      ByteString().swap(envelopeData);
      PutAscii(text, out, consume);
      PutAscii(Envelope::kMiddle, out, consume);
      ReadOnceText readOnce(text);
      PutAscii(text, out, consume, &readOnce);
      AnsiString().swap(text);
    } else {
      PutBase64(envelopeSignature, out, consume);
      ByteString().swap(envelopeSignature);
      PutAscii(Envelope::kMiddle, out, consume);
      ReadOnceText readOnce(envelopeData);
      PutBase64(envelopeData, out, consume, &readOnce);
      ByteString().swap(envelopeData);
    }
    PutAscii(Envelope::kClosing, out, consume);
    if (!out.empty()) consume(out);
    return;
  }
  // Checking builds keep everything handed on, to set it against the tree route below.
  Shortcuts::Written written;
  const ByteString signatureKept = Shortcuts::KeptForCheck(signature);
  const ByteString textKept = Shortcuts::KeptForCheck(fixedText);
  const std::function<void(ByteString&)> handOn = [&written, &consume](ByteString& piece) {
    written.Add(piece);
    consume(piece);
  };
  auto insertSignature = [&](ByteString& out) {
    // A test-mode signature is as long as the document.
    ReadOnceText signatureRead(signature);
    AppendSignatureValue(signature, out, handOn, &signatureRead);
    ByteString().swap(signature);
  };
  // The text's pages go back as the result is handed on: read no further.
  ReadOnceText readOnce(fixedText);
  Lumo::Canon::WriteParsedMarkup(fixedText, insertSignature, handOn, &readOnce);
  ByteString().swap(fixedText);
  // The markup written from the text must be the tree the text parses into, with the
  // signature value put in it as the tree route puts it.
  Shortcuts::Answered(Shortcut::ResultMarkup, textKept.size(), written.bytes(), [&] {
    Dom::Node result = Lumo::Canon::Reference::ParseCanonical(textKept);
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
              Base64Length(signature.size()) +
              Base64Length(envelopeData.size()) * (signatureIsData ? 2 : 1) +
              Base64Length(envelopeSignature.size()) + 256);
  WriteUtf8([&out](ByteString& bytes) {
    out += Utf8Decode(bytes);
    bytes.clear();
  });
}

}  // namespace Lumo::Sign
