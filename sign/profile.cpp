// Key profile: counted open and close, the canonical pass and the six actions.
#include "sign/profile.h"

#include <stdexcept>
#include <string>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/settled_text.h"
#include "dom/xml_helpers.h"
#include "provider/signatura.h"
#include "sign/action_result.h"
#include "sign/message.h"
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

Lumo::Canon::PrefixScheme SchemeOf(bool numberedPrefixes) {
  return numberedPrefixes ? Lumo::Canon::PrefixScheme::Numbered : Lumo::Canon::PrefixScheme::Fixed;
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
    case klSilent: return kOpenFlagsSilent;
    case klLoud: return kOpenFlagsLoud;
    default: return (Owner == nullptr || Owner->Silent) ? kOpenFlagsSilent : kOpenFlagsLoud;
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
  Envelope::DecodedValues values;
  if (ActionOf(action).readsEnvelope &&
      Envelope::ReadWrittenFile(inputFileName, ChecksSignature(action), values)) {
    CheckDecoded(values, action);
    if (!WriteCarriedFile(std::move(values.object), XmlHeaderAnsi, outputFileName))
      throw ELumoDEZError(kFileProcessError + InMessage(inputFileName));
    return;
  }
  std::optional<ActionResult> run = RunLoaded(
      [&](Dom::RootChildHandler handler) { return LoadXmlFile(inputFileName, std::move(handler)); },
      action);
  if (!run) throw ELumoDEZError(kFileOpenError + InMessage(inputFileName));
  ActionResult result = std::move(*run);
  if (!result) throw ELumoDEZError(kFileProcessError + InMessage(inputFileName));
  // The declaration and the markup, encoded and written to the file as the markup is
  // made: the whole result is never held a second time (but by a device or FIFO's
  // OutputFile, which holds it to the end: Childs signs child after child as it writes).
  OutputFile file(outputFileName);
  file.Write(XmlHeaderAnsi);
  WriteStandardUtf8(result, [&file](std::string_view bytes) { file.Write(bytes); });
  file.Commit();
}

void WriteStandardUtf8(ActionResult& result, const TextSink& sink) {
  // A high surrogate at the end of a piece waits for its partner at the start of the next.
  SurrogatePairJoiner joiner;
  result.WriteUtf8([&sink, &joiner](ByteString& bytes) {
    joiner.Join(bytes);
    sink(bytes);
    bytes.clear();
  });
  result = ActionResult();  // the document is no longer needed
  if (!joiner.Rest().empty()) sink(joiner.Rest());
}

void TProfile::SignXml(WideView xml, uint8_t action, WideString& value) {
  const ActionRow& row = ActionOf(action);
  ActionResult result;
  Envelope::WrittenLayout layout;
  if (row.input == ActionInput::Base64Text) {
    result.tree = MakeBase64Envelope(xml);
  } else if (row.readsEnvelope && Envelope::ScanWritten(xml, layout)) {
    ByteString values = Envelope::NarrowValues(xml, layout);
    result.tree = UnwrapWritten(values, layout, action, &values);
  } else {
    std::optional<ActionResult> run = RunLoaded(
        [&](Dom::RootChildHandler handler) { return LoadXmlString(xml, std::move(handler)); },
        action);
    if (!run) throw ELumoDEZError(kLoadError);
    result = std::move(*run);
  }
  if (!result) throw ELumoDEZError(kProcessError);
  WideString text;
  text.reserve(XmlHeader.size() + 1024);
  text.append(XmlHeader);
  result.AppendXml(text);
  value = std::move(text);
}

void TProfile::SignXmlUtf8(std::string_view xml, uint8_t action, const TextSink& sink,
                           ByteString* release) {
  const ActionRow& row = ActionOf(action);
  if (row.input == ActionInput::Base64Text) {
    WriteBase64Envelope(xml, sink);
    return;
  }
  Envelope::WrittenLayout layout;
  if (row.readsEnvelope && Envelope::ScanWritten(xml, layout)) {
    Envelope::DecodedValues values = DecodeWritten(xml, layout, action, release);
    CheckDecoded(values, action);
    if (!WriteCarriedContent(std::move(values.object), XmlHeaderAnsi, sink))
      throw ELumoDEZError(kProcessError);
    return;
  }
  std::optional<ActionResult> run = RunLoaded(
      [&](Dom::RootChildHandler handler) { return LoadXmlText(xml, std::move(handler)); }, action,
      [release] {
        if (release) ByteString().swap(*release);
      });
  if (!run) throw ELumoDEZError(kLoadError);
  ActionResult result = std::move(*run);
  if (!result) throw ELumoDEZError(kProcessError);
  sink(XmlHeaderAnsi);
  WriteStandardUtf8(result, sink);
}

std::optional<ActionResult> TProfile::RunLoaded(const InputLoader& load, uint8_t action,
                                                const std::function<void()>& inputRead) {
  if (ActionOf(action).input != ActionInput::FixedText) {
    Dom::Node root = load(nullptr);
    if (inputRead) inputRead();
    if (!root) return std::nullopt;
    ActionResult result;
    result.tree = Process(std::move(root), action);
    return result;
  }
  bool settled = false;
  std::optional<ByteString> c0 = Lumo::Canon::FixedTextOfLoaded(load, settled);
  if (inputRead) inputRead();
  if (!c0) return std::nullopt;
  switch (action) {
    case saRoot: return RootOfFixedText(std::move(*c0), settled);
    case saEnvelope: {
      // Two statements: an argument lives to the end of the full expression that passes
      // it, and the text goes before the envelope's Base64 is made.
      ByteString data = CarriedBytes(std::move(*c0));
      return EnvelopeOf(std::move(data));
    }
    case saChilds: return ChildsOfFixedText(std::move(*c0), settled);
    default: throw std::logic_error("no fixed-text route for action " + std::to_string(action));
  }
}

ActionResult TProfile::RootOfFixedText(ByteString c0, bool settled) {
  ActionResult result;
  // Where the result is known from its fixed-prefix text, it is written from that text
  // with the signature value put first into its root: the tree is never built.
  Lumo::Canon::RootForm form = Lumo::Canon::RootFormOfInputText(std::move(c0), settled, true);
  if (form.tree) {
    result.tree = SignForm(std::move(form));
    return result;
  }
  SignInPlace(form.signedBytes);
  result.signature = std::move(form.signedBytes);
  result.fixedText = std::move(form.text);
  return result;
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
