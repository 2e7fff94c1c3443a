#include "automation/calls.h"

#include <utility>

#include "automation/error_info.h"
#include "base/errors.h"
#include "sign/document_input.h"
#include "sign/profile.h"

namespace Lumo::Automation {

using Lumo::Sign::DocumentInput;

int32_t SetProviderLibrary(const std::string& path) {
  return Guarded(DEZSignErrors, [&] { Lumo::Sign::SetProviderLibrary(path); });
}

int32_t CanonicalTextUtf8(std::string_view xml, bool numbered, Lumo::Base::ByteString& result) {
  result.clear();
  return Guarded(DEZSignErrors, [&] {
    std::optional<Lumo::Base::ByteString> text =
        Lumo::Sign::CanonicalTextOf(DocumentInput::Utf8Text(xml), numbered);
    if (!text) throw Lumo::Base::ELumoDEZError("The document has no document element");
    result = std::move(*text);
  });
}

namespace {

// The check, with the profile opened for it; a signature not accepted becomes the error
// once the verdicts are handed over.
int32_t CheckSignature(const DocumentInput& input, const CheckRequest& request,
                       std::optional<SignatureCheck>& result) {
  result.reset();
  return Guarded(DEZSignErrors, [&] {
    Lumo::Sign::TProfile key(nullptr, request.profile);
    key.TestMode = request.testMode;
    key.Open();
    result = Lumo::Sign::CheckDocumentOf(
        key, input, request.childs ? Lumo::Sign::SignedBy::Childs : Lumo::Sign::SignedBy::Root,
        request.allowUnsignedContent);
    if (!result) throw Lumo::Base::ELumoDEZError("Ошибка загрузки XML");
    key.Close();
    for (const SignatureVerdict& v : result->verdicts) {
      if (v.verified) continue;
      if (v.providerStatus != 0)
        throw Lumo::Base::ESignaturaError(v.reason, std::string(), v.providerStatus);
      if (v.code == VerdictCode::NotChecked) throw Lumo::Base::ELumoDEZError(v.reason);
      throw Lumo::Base::EDocumentRefused(v.reason);
    }
  });
}

}  // namespace

int32_t CheckSignatureUtf8(std::string_view xml, const CheckRequest& request,
                           std::optional<SignatureCheck>& result) {
  return CheckSignature(DocumentInput::Utf8Text(xml), request, result);
}

int32_t CheckSignatureFile(const Lumo::Base::AnsiString& fileName, const CheckRequest& request,
                           std::optional<SignatureCheck>& result) {
  return CheckSignature(DocumentInput::File(fileName), request, result);
}

const std::optional<CmsSigners>& LastVerifiedSigners() noexcept {
  return Lumo::Sign::LastVerifiedSigners();
}

void ForgetVerifiedSigners() noexcept { Lumo::Sign::ForgetVerifiedSigners(); }

}  // namespace Lumo::Automation
