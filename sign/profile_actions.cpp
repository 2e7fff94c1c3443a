// Key profile: the canonical pass and the actions other than Root (each child, envelope,
// Base64 envelope, verify, extract).
#include <algorithm>
#include <optional>
#include <string>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "base/read_once_text.h"
#include "canon/canonical.h"
#include "canon/reference.h"
#include "canon/settled_text.h"
#include "canon/shortcut.h"
#include "dom/own_markup.h"
#include "dom/xml_helpers.h"
#include "provider/signatura.h"
#include "sign/envelope.h"
#include "sign/output_file.h"
#include "sign/profile.h"

namespace Lumo::Sign {

using namespace Lumo::Base;
using namespace Lumo::Dom;
using Lumo::Canon::Shortcut;
using Lumo::Provider::TSignatura;
namespace Shortcuts = Lumo::Canon::Shortcuts;

namespace {

constexpr const char* kNoMACValue = "Ошибка проверки КА: Не найден элемент MACValue";
constexpr const char* kNoObject = "Ошибка проверки КА: Не найден элемент Object";
constexpr const char* kBase64BadChar =
    "Ошибка формирования КА: Недопустимый символ в тексте Base64, позиция ";
constexpr const char* kBase64Empty = "Ошибка формирования КА: Нет данных в тексте Base64";

// Client text for the object content is put into the envelope without escaping: only
// characters that can neither be markup nor change the carried bytes may pass, and the
// text must carry data (the lenient decoder would make a byte even of "=").
// Wide or UTF-8 text: every character that passes is ASCII, so the first one refused
// stands at the same position in both.
template <class Char>
void CheckBase64Text(std::basic_string_view<Char> text) {
  bool data = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const Char c = text[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!alphabet && c != '=' && c != ' ' && c != '\t' && c != '\r' && c != '\n')
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
  return SignEachChild(std::move(parent),
                       [this](Dom::Node child) { return SignRoot(std::move(child)); });
}

ActionResult TProfile::ChildsOfFixedText(ByteString c0, bool settled) {
  ActionResult result;
  if (Shortcuts::Allowed(Shortcut::ChildsResult) && settled && Lumo::Canon::IsSettledText(c0)) {
    // Each child is signed as the result is written, from its own slice of the text: no
    // tree of the document, and nothing kept per child.
    result.childsText = std::move(c0);
    result.signInPlace = [this](ByteString& bytes) { SignInPlace(bytes); };
    return result;
  }
  Dom::Node r = LoadXmlUtf8(c0);
  ByteString().swap(c0);
  result.tree = SignChilds(std::move(r));
  return result;
}

ByteString TProfile::CarriedBytes(ByteString c0) {
  // The carried bytes are the markup of C0 parsed, whether C0 is settled or not; the
  // markup of the tree such a text parses into is known from the text wherever its shape
  // says so: the tree is never built.
  ByteString data;
  auto fromText = [&](ByteString& out) {
    if (!Lumo::Canon::IsPlainMarkupText(c0)) return false;
    out = XmlHeaderAnsi;
    out.reserve(out.size() + c0.size() + c0.size() / 8);
    Lumo::Canon::WriteParsedMarkup(c0, nullptr, [&out](ByteString& piece) {
      out += piece;
      piece.clear();
    });
    return true;
  };
  if (Shortcuts::Take(Shortcut::EnvelopeData, c0.size(), data, fromText, [&] {
        return CarriedBytesOfTree(Lumo::Canon::Reference::ParseCanonical(c0));
      }))
    return data;
  Dom::Node tree = LoadXmlUtf8(c0);
  ByteString().swap(c0);
  return CarriedBytesOfTree(std::move(tree));
}

ByteString TProfile::CarriedBytesOfTree(Dom::Node root) {
  ByteString data(XmlHeaderAnsi);
  root.appendXmlUtf8(data);
  return data;
}

ActionResult TProfile::EnvelopeOf(ByteString data) {
  // The signature of the data is the data itself in test mode: held once.
  if (IsTestMode()) return ActionResult::FromEnvelope(std::move(data), ByteString(), true);
  ByteString signature = TSignatura::SignDetached(Context, data, 0);
  return ActionResult::FromEnvelope(std::move(data), std::move(signature), false);
}

Dom::Node TProfile::MakeEnvelope(Dom::Node root) {
  ActionResult result = EnvelopeOf(CarriedBytesOfTree(std::move(root)));
  if (result.tree) return result.tree;
  const AnsiString object = EncodeBase64(result.envelopeData);
  return Envelope::Build(result.signatureIsData ? object : EncodeBase64(result.envelopeSignature),
                         object);
}

AnsiString TProfile::SignBase64Data(ByteString data) {
  SignInPlace(data);
  return EncodeBase64(data);
}

Dom::Node TProfile::MakeBase64Envelope(WideView text) {
  CheckBase64Text(text);
  const AnsiString signature = SignBase64Data(DecodeBase64(WideToAnsi(text)));
  // The client's text goes in unaltered, without escaping (it was checked above).
  return LoadXmlString(Envelope::BuildText(signature, text));
}

void TProfile::WriteBase64Envelope(std::string_view text, const TextSink& sink) {
  CheckBase64Text(text);
  // Its Base64 text is made as it is written (in test mode the signature is the data).
  ByteString signature = DecodeBase64(text);
  SignInPlace(signature);
  sink(XmlHeaderAnsi);
  // The long way: the envelope's text parsed, its tree written (an empty value is written
  // in its short form, which only the tree writes).
  auto envelopeTree = [&] {
    return LoadXmlString(Envelope::BuildText(EncodeBase64(signature), AnsiToWide(text)));
  };
  if (signature.empty() || !Shortcuts::Allowed(Shortcut::Base64Envelope)) {
    ActionResult result;
    result.tree = envelopeTree();
    WriteStandardUtf8(result, sink);
    return;
  }
  Shortcuts::Written written;
  Envelope::WriteParsed(signature, text, [&](std::string_view piece) {
    written.Add(piece);
    sink(piece);
  });
  Shortcuts::Answered(Shortcut::Base64Envelope, text.size(), written.bytes(), [&] {
    ByteString markup;
    envelopeTree().appendXmlUtf8(markup);
    return markup;
  });
}

namespace {

thread_local std::optional<CmsSigners> t_verifiedSigners;

// The provider's check of an envelope's signature; who signed is kept for the caller.
void VerifyEnvelopeSignature(uint32_t context, const ByteString& data,
                             const ByteString& signature) {
  t_verifiedSigners = ReadCmsSigners(signature);
  TSignatura::VerifyDetached(context, data, signature, 0);
}

}  // namespace

const std::optional<CmsSigners>& LastVerifiedSigners() { return t_verifiedSigners; }
void ForgetVerifiedSigners() { t_verifiedSigners.reset(); }

Dom::Node TProfile::VerifyEnvelope(Dom::Node root) {
  if (IsTestMode()) return ExtractEnvelope(std::move(root));
  if (!Envelope::IsEnvelopeRoot(root)) return Dom::Node();
  ByteString data;
  {
    Dom::Node mac = Envelope::FindSignatureValue(root);
    if (!mac) throw EDocumentRefused(kNoMACValue);
    ByteString signature = Envelope::DecodeValue(mac);
    Dom::Node object = Envelope::FindObject(root);
    if (!object) throw EDocumentRefused(kNoObject);
    // A second part of the same name carries what nobody signed, and a reader may take
    // it for the one that was.
    Envelope::RefuseRepeatedParts(root);
    data = Envelope::DecodeValue(object);
    VerifyEnvelopeSignature(Context, data, signature);
  }
  // Unwrapping would decode the same object text again: the verified bytes are parsed,
  // once the envelope is let go.
  root = Dom::Node();
  return Envelope::LoadContent(data);
}

Dom::Node TProfile::UnwrapWritten(std::string_view text, const Envelope::WrittenLayout& layout,
                                  uint8_t action, ByteString* release) {
  return UnwrapDecoded(DecodeWritten(text, layout, action, release), action);
}

Envelope::DecodedValues TProfile::DecodeWritten(std::string_view text,
                                                const Envelope::WrittenLayout& layout,
                                                uint8_t action, ByteString* release) {
  Envelope::DecodedValues values;
  if (ChecksSignature(action))
    values.signature = DecodeBase64(text.substr(layout.signatureAt, layout.signatureSize));
  values.object = Envelope::DecodeWrittenObject(text, layout, release);
  return values;
}

bool TProfile::ChecksSignature(uint8_t action) const {
  return ActionOf(action).checksSignature && !IsTestMode();
}

Dom::Node TProfile::UnwrapDecoded(Envelope::DecodedValues values, uint8_t action) {
  // What VerifyEnvelope and ExtractEnvelope do with the envelope's values, in that order.
  CheckDecoded(values, action);
  return Envelope::LoadContent(values.object);
}

void TProfile::CheckDecoded(Envelope::DecodedValues& values, uint8_t action) {
  if (ChecksSignature(action)) VerifyEnvelopeSignature(Context, values.object, values.signature);
  ByteString().swap(values.signature);
}

Dom::Node TProfile::ExtractEnvelope(Dom::Node root) {
  return Envelope::UnwrapTaking(std::move(root));
}

namespace {

// The content's markup after the declaration envelopes put before it, where it is the
// markup its tree writes; empty otherwise.
std::string_view OwnMarkupOf(std::string_view content) {
  if (content.starts_with(XmlHeaderAnsi)) content.remove_prefix(XmlHeaderAnsi.size());
  return Dom::IsOwnMarkup(content) ? content : std::string_view();
}

}  // namespace

bool WriteCarriedContent(ByteString object, std::string_view declaration, const TextSink& sink) {
  // Content that may be read a second way after a parse error is written from its tree,
  // and so is every content while the reference switch is on.
  if (!Envelope::ReadsOneWay(object) || !Shortcuts::Allowed(Shortcut::ObjectAsParsed)) {
    ActionResult result;
    result.tree = Envelope::LoadContent(object);
    ByteString().swap(object);
    if (!result) return false;
    if (!declaration.empty()) sink(declaration);
    WriteStandardUtf8(result, sink);
    return true;
  }
  // Checking builds keep what is handed on, and the content, to set them against the tree
  // route.
  Shortcuts::Written written;
  const ByteString objectKept = Shortcuts::KeptForCheck(object);
  auto handOn = [&](std::string_view bytes) {
    written.Add(bytes);
    sink(bytes);
  };
  if (!declaration.empty()) handOn(declaration);
  if (const std::string_view own = OwnMarkupOf(object); !own.empty()) {
    // The content is the markup its tree would write: it is the result, and no tree is
    // built. Handed on in pieces that end on a character, whose pages then go back.
    Lumo::Base::ReadOnceText readOnce(own);
    constexpr size_t kPiece = 256 << 10;  // as much as the text gives back at a time
    for (size_t at = 0; at < own.size();) {
      size_t end = std::min(at + kPiece, own.size());
      while (end < own.size() && (static_cast<unsigned char>(own[end]) & 0xC0) == 0x80) --end;
      handOn(own.substr(at, end - at));
      readOnce.ReadUpTo(0, end);  // everything before end is read
      at = end;
    }
    ByteString().swap(object);
  } else {
    // A high surrogate at the end of a piece waits for its partner at the start of the next.
    SurrogatePairJoiner joiner;
    Dom::StreamedRootWriter writer([&](ByteString& bytes) {
      joiner.Join(bytes);
      handOn(bytes);
      bytes.clear();
    });
    // The content's pages go back behind the children written: read no further.
    Lumo::Base::ReadOnceText readOnce(object);
    Dom::Node root = LoadXmlBytes(
        object, [&writer](const Dom::Node& parsed) { return writer.TakeChildren(parsed); },
        &readOnce);
    ByteString().swap(object);
    if (!root) return false;
    writer.Finish(root);
    root = Dom::Node();
    if (!joiner.Rest().empty()) handOn(joiner.Rest());
  }
  Shortcuts::Answered(Shortcut::ObjectAsParsed, objectKept.size(), written.bytes(), [&] {
    ActionResult result;
    result.tree = Envelope::LoadContent(objectKept);
    ByteString markup(declaration);
    WriteStandardUtf8(result, [&](std::string_view b) { markup += b; });
    return markup;
  });
  return true;
}

bool WriteCarriedFile(ByteString object, std::string_view declaration,
                      const AnsiString& outputFileName) {
  // The file is made with the first piece of markup, as the whole-tree route made it
  // after the load: a document that breaks before its root's first child is complete is
  // reported as such even where the file could not be made.
  std::optional<OutputFile> file;
  const bool written =
      WriteCarriedContent(std::move(object), declaration, [&](std::string_view bytes) {
        if (!file) file.emplace(outputFileName);
        file->Write(bytes);
      });
  if (!written) return false;
  if (!file) file.emplace(outputFileName);
  file->Commit();
  return true;
}

}  // namespace Lumo::Sign
