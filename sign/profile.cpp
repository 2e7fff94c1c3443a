// Key profile: counted open and close, the canonical pass and the six actions.
#include "sign/profile.h"

#include <string>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/check.h"
#include "canon/fixed_text.h"
#include "dom/xml_helpers.h"
#include "provider/signatura.h"
#include "sign/envelope.h"
#include "sign/output_file.h"
#include "sign/signer.h"

namespace Lumo::Sign {

using namespace Lumo::Base;
using namespace Lumo::Dom;
using Lumo::Provider::TSignatura;

namespace {

// Messages of the signing core (UTF-8).
constexpr const char* kFileOpenError = "Ошибка открытия XML файла ";
constexpr const char* kFileProcessError = "Ошибка обработки XML файла ";
constexpr const char* kLoadError = "Ошибка загрузки XML";
constexpr const char* kProcessError = "Ошибка обработки XML";
constexpr const char* kNoMACValue = "Ошибка проверки КА: Не найден элемент MACValue";
constexpr const char* kNoObject = "Ошибка проверки КА: Не найден элемент Object";
constexpr const char* kBase64BadChar = "Ошибка формирования КА: Недопустимый символ в тексте Base64, позиция ";
constexpr const char* kBase64Empty = "Ошибка формирования КА: Нет данных в тексте Base64";

// The signature value element put first into a signed root.
constexpr WideView kSigValueName = u"dsig:SigValue";
constexpr WideView kSigValueDeclaration = u"xmlns:dsig";
constexpr WideView kSigValueNamespace = u"urn:dez-ru:dsig:v1.1";
// Its markup as the tree writes it (no namespace is bound to the name; the declaration
// is an attribute), around the Base64 text.
constexpr std::string_view kSigValueStart = "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">";
constexpr std::string_view kSigValueEnd = "</dsig:SigValue>";
constexpr std::string_view kSigValueEmpty = "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\"/>";

Lumo::Canon::PrefixScheme SchemeOf(bool numberedPrefixes) {
  return numberedPrefixes ? Lumo::Canon::PrefixScheme::Numbered : Lumo::Canon::PrefixScheme::Fixed;
}

// ANSI text (file names) as it stands in a UTF-8 message.
std::string InMessage(const AnsiString& ansi) { return Utf8FromWide(AnsiToWide(ansi)); }

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

// 5. The signature's Base64 text in a new dsig:SigValue element; 6. first child of the root
// (an existing signature value element stays where it is).
void InsertSignatureValue(Dom::Node& root, const ByteString& signature) {
  Dom::Document doc = root.ownerDocument();
  Dom::Node sig = doc.createElement(kSigValueName);
  sig.setAttribute(kSigValueDeclaration, kSigValueNamespace);
  // Base64 is ASCII, one character per unit: written straight into the element's text.
  sig.setTextWritten(Base64Length(signature.size()),
                     [&signature](char16_t* out) { EncodeBase64To(signature, out); });
  root.insertBefore(sig, root.firstChild());
}

}  // namespace

TProfile::TProfile(TCBRSigner* owner, const AnsiString& name) : Name(name), Owner(owner) {
  if (owner != nullptr) TestMode = owner->TestMode;
}

TProfile::~TProfile() {
  try {
    if (OpenCount > 0) {
      OpenCount = 1;
      Close();
    }
  } catch (...) {
    // A destructor must not throw; the provider's failure to release is dropped.
  }
}

bool TProfile::IsTestMode() const { return Owner != nullptr ? Owner->TestMode : TestMode; }

uint32_t TProfile::OpenFlags() const {
  switch (Keyload) {
    case klSilent:
      return kOpenFlagsSilent;
    case klLoud:
      return kOpenFlagsLoud;
    default:
      return (Owner == nullptr || Owner->Silent) ? kOpenFlagsSilent : kOpenFlagsLoud;
  }
}

void TProfile::Open() {
  if (IsTestMode()) return;
  if (OpenCount == 0) Context = TSignatura::Initialize(Name, OpenFlags());
  ++OpenCount;
}

void TProfile::Close() {
  if (IsTestMode()) return;
  // Caller error: nothing is open. Ignored, so that the count never goes negative and a
  // context that was never obtained is never handed back to the provider.
  if (OpenCount <= 0) return;
  if (--OpenCount == 0) {
    TSignatura::Uninitialize(Context);
    Context = 0;
  }
}

ByteString TProfile::CanonicalText(const Dom::Node& node, bool numberedPrefixes) {
  return Lumo::Canon::CanonicalText(node, SchemeOf(numberedPrefixes));
}

ByteString TProfile::CanonicalText(Dom::Node&& node, bool numberedPrefixes) {
  return Lumo::Canon::CanonicalText(std::move(node), SchemeOf(numberedPrefixes));
}

void TProfile::SignInPlace(ByteString& data) {
  if (IsTestMode()) return;
  data = TSignatura::SignDetached(Context, data, 0);
}

ByteString TProfile::SignData(const ByteString& data) {
  ByteString result = data;
  SignInPlace(result);
  return result;
}

void TProfile::SignFile(const AnsiString& inputFileName, const AnsiString& outputFileName,
                        uint8_t action) {
  Dom::Node root = LoadXmlFile(inputFileName);
  if (!root) throw ELumoDEZError(kFileOpenError + InMessage(inputFileName));
  Outcome result = Run(std::move(root), action);
  if (!result) throw ELumoDEZError(kFileProcessError + InMessage(inputFileName));
  // The declaration and the UTF-8 of the markup, encoded and written to the file as the
  // markup is made: the whole result is never held a second time. The file is standard
  // UTF-8 (a surrogate pair as one four-byte sequence); a high surrogate at the end of a
  // piece waits for its partner at the start of the next.
  OutputFile file(outputFileName);
  file.Write(XmlHeaderAnsi);
  SurrogatePairJoiner joiner;
  result.WriteUtf8([&file, &joiner](ByteString& bytes) {
    joiner.Join(bytes);
    file.Write(bytes);
    bytes.clear();
  });
  result = Outcome();  // the document is no longer needed
  file.Write(joiner.Rest());
  file.Commit();
}

void TProfile::SignXml(WideView xml, uint8_t action, WideString& value) {
  Outcome result;
  if (action == saBase64Envelope) {
    result.tree = MakeBase64Envelope(xml);
  } else {
    Dom::Node root = LoadXmlString(xml);
    if (!root) throw ELumoDEZError(kLoadError);
    result = Run(std::move(root), action);
  }
  if (!result) throw ELumoDEZError(kProcessError);
  WideString text;
  text.reserve(XmlHeader.size() + 1024);
  text.append(XmlHeader);
  result.AppendXml(text);
  value = std::move(text);
}

void TProfile::Outcome::WriteUtf8(const std::function<void(ByteString&)>& consume) {
  if (tree) {
    tree.writeXmlUtf8(consume);
    return;
  }
  // Checking builds keep everything handed on, to set it against the reference below.
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
      if (out.size() >= 256 * 1024) handOn(out);
    }
    out += kSigValueEnd;
    ByteString().swap(signature);
  };
  Lumo::Canon::WriteParsedMarkup(fixedText, insertSignature, handOn);
  if (!Lumo::Canon::kCheckShortcuts) return;
  // The markup written from the text must be the tree the text parses into, with the
  // signature value put in it as the tree route puts it.
  Lumo::Canon::Check::Agrees("result markup written from the fixed text", fixedText.size(),
                             written, [&] {
                               Dom::Node result = Lumo::Canon::Reference::ParseCanonical(fixedText);
                               InsertSignatureValue(result, signatureKept);
                               ByteString markup;
                               result.appendXmlUtf8(markup);
                               return markup;
                             });
}

void TProfile::Outcome::AppendXml(WideString& out) {
  if (tree) {
    tree.appendXml(out);
    return;
  }
  // The markup and the Base64 text are about as long as the text and the signature.
  out.reserve(out.size() + fixedText.size() + fixedText.size() / 8 + Base64Length(signature.size()) + 256);
  WriteUtf8([&out](ByteString& bytes) {
    out += Utf8Decode(bytes);
    bytes.clear();
  });
}

TProfile::Outcome TProfile::Run(Dom::Node root, uint8_t action) {
  Outcome outcome;
  if (action != saRoot) {
    outcome.tree = Process(std::move(root), action);
    return outcome;
  }
  // Where the result is known from its fixed-prefix text, it is written from that text
  // with the signature value put first into its root: the tree is never built.
  Lumo::Canon::RootForm form = Lumo::Canon::RootFormOfDocument(std::move(root), true);
  if (form.tree) {
    outcome.tree = SignForm(std::move(form));
    return outcome;
  }
  SignInPlace(form.signedBytes);
  outcome.signature = std::move(form.signedBytes);
  outcome.fixedText = std::move(form.text);
  return outcome;
}

Dom::Node TProfile::Process(Dom::Node root, uint8_t action) {
  // The input document is no longer needed once its markup is taken.
  if (action == saRoot) return SignForm(Lumo::Canon::RootFormOfDocument(std::move(root), false));
  Dom::Node r;
  {
    bool fixedPoint = false;
    ByteString c0 = Lumo::Canon::FixedCanonicalText(std::move(root), fixedPoint);
    r = LoadXmlUtf8(c0);  // LoadXmlString(Utf8Decode(c0))
  }
  switch (action) {
    case saChilds:
      return SignChilds(std::move(r));
    case saEnvelope:
      return MakeEnvelope(std::move(r));
    case saVerify:
      return VerifyEnvelope(std::move(r));
    case saExtract:
      return ExtractEnvelope(std::move(r));
    default:
      return r;
  }
}

Dom::Node TProfile::SignRoot(Dom::Node root) {
  // 1. Fixed-prefix canonical text C, parsed into R1; 2. the signed bytes, the
  // numbered-prefix canonical text of R1; 3. R2, C parsed again (or R1 where step 2
  // could leave it as parsed).
  return SignForm(Lumo::Canon::RootFormOfFixedText(CanonicalText(std::move(root), false), false));
}

Dom::Node TProfile::SignForm(Lumo::Canon::RootForm&& form) {
  // 4. The signature; 5 and 6. the signature value element first in the root.
  SignInPlace(form.signedBytes);
  Dom::Node r2 = std::move(form.tree);
  InsertSignatureValue(r2, form.signedBytes);
  ByteString().swap(form.signedBytes);
  return r2;
}

Dom::Node TProfile::SignChilds(Dom::Node parent) {
  Dom::Node child = FindChildElement(parent, "");
  while (child) {
    Dom::Node next = FindNextElement(child, "");
    Dom::Node signedChild = SignRoot(LoadXmlString(child.xml()));
    parent.replaceChild(signedChild, child);
    child = std::move(next);
  }
  return LoadXmlString(parent.xml());
}

Dom::Node TProfile::MakeEnvelope(Dom::Node root) {
  // The carried and signed bytes: declaration + UTF-8 markup of the canonical document.
  ByteString data(XmlHeaderAnsi);
  root.appendXmlUtf8(data);
  root = Dom::Node();
  AnsiString object = EncodeBase64(data);
  if (IsTestMode()) {
    // The signature of the data is the data itself: the same Base64 text serves twice.
    ByteString().swap(data);
    return Envelope::Build(object, object);
  }
  SignInPlace(data);
  AnsiString signature = EncodeBase64(data);
  ByteString().swap(data);
  return Envelope::Build(signature, object);
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

Dom::Node TProfile::ExtractEnvelope(Dom::Node root) {
  return Envelope::UnwrapTaking(std::move(root));
}

void SetProviderLibrary(const std::string& path) {
  std::string loadedName = Lumo::Provider::ProviderLibraryName();
  Lumo::Provider::SetProviderLibraryName(path);
  std::string wanted = Lumo::Provider::ProviderLibraryName();
  if (Lumo::Provider::ProviderLoaded() && wanted != loadedName) {
    Lumo::Provider::SetProviderLibraryName(loadedName);
    throw Lumo::Base::ESignaturaError("Библиотека криптопровайдера " + loadedName +
                                    " уже загружена, " + wanted + " не может её заменить",
                                "");
  }
}

}  // namespace Lumo::Sign
