#include "sign/document_input.h"

#include <cerrno>
#include <utility>

#include "base/errors.h"
#include "base/file_name.h"
#include "base/input_file.h"
#include "canon/canonical.h"
#include "dom/xml_helpers.h"
#include "dom/xml_text.h"
#include "sign/output_file.h"

namespace Lumo::Sign {

DocumentInput DocumentInput::File(Lumo::Base::AnsiString fileName) {
  return DocumentInput(Kind::File, std::move(fileName), {});
}

DocumentInput DocumentInput::FileBytes(std::string_view bytes) {
  return DocumentInput(Kind::FileBytes, {}, bytes);
}

DocumentInput DocumentInput::Utf8Text(std::string_view text) {
  return DocumentInput(Kind::Utf8Text, {}, text);
}

Lumo::Dom::Node DocumentInput::Load(Lumo::Dom::RootChildHandler handler) const {
  switch (kind_) {
    case Kind::File: return Lumo::Dom::LoadXmlFile(fileName_, std::move(handler));
    case Kind::FileBytes: return Lumo::Dom::LoadXmlBytes(text_, std::move(handler));
    case Kind::Utf8Text: return Lumo::Dom::LoadXmlText(text_, std::move(handler));
  }
  return Lumo::Dom::Node();
}

std::string DocumentInput::SourceBytes() const {
  if (kind_ != Kind::File) return std::string(text_);
  std::string bytes;
  if (Lumo::Base::ReadWholeFile(fileName_, bytes) != Lumo::Base::FileRead::kDone) bytes.clear();
  return bytes;
}

std::optional<Lumo::Base::ByteString> CanonicalTextOf(const DocumentInput& input, bool numbered) {
  bool settled = false;
  std::optional<Lumo::Base::ByteString> c0 = Lumo::Canon::FixedTextOfLoaded(
      [&input](Lumo::Dom::RootChildHandler handler) { return input.Load(std::move(handler)); },
      settled);
  if (!c0 || !numbered) return c0;
  return Lumo::Canon::RootFormOfInputText(std::move(*c0), settled, true).signedBytes;
}

std::optional<SignatureCheck> CheckDocumentOf(
    TProfile& profile, const DocumentInput& input, SignedBy action, bool allowUnsignedContent,
    const std::function<void(SignatureVerdict&&)>& onVerdict) {
  CheckOptions options;
  options.onVerdict = onVerdict;
  options.allowUnsignedContent = allowUnsignedContent;
  options.source = [&input] { return input.SourceBytes(); };
  // Checked as it is parsed where it can be, the way the signing actions take it.
  return CheckLoaded(
      profile,
      [&input](Lumo::Dom::RootChildHandler handler) { return input.Load(std::move(handler)); },
      action, options);
}

std::string_view DocumentFileText(const Lumo::Base::AnsiString& fileName, std::string& bytes,
                                  std::string& converted) {
  const Lumo::Base::FileRead read = Lumo::Base::ReadWholeFile(fileName, bytes);
  if (read != Lumo::Base::FileRead::kDone) {
    const int error = errno;
    throw Lumo::Base::ELumoDEZError(
        std::string(read == Lumo::Base::FileRead::kCannotOpen ? "Cannot open file \""
                                                              : "Cannot read file \"") +
        Lumo::Base::FileNameForMessage(ExpandFileName(fileName)) + "\". " + SystemErrorText(error));
  }
  return Lumo::Dom::Utf8XmlText(bytes, converted);
}

}  // namespace Lumo::Sign
