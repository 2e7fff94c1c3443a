// The calls that belong to neither object: the crypto provider library of the process, a
// document's canonical text, the check of the signature values root or childs put into a
// document, and who signed the envelope the last verify checked. Like the objects'
// operations each returns a 32-bit status and leaves error information on failure (with
// the DEZSign object as its source).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/types.h"
#include "sign/cms_signer.h"
#include "sign/signature_check.h"

namespace Lumo::Automation {

// The records these calls hand out are the signing layer's own.
using Lumo::Sign::CmsSigner;
using Lumo::Sign::CmsSigners;
using Lumo::Sign::SignatureCheck;
using Lumo::Sign::SignatureVerdict;
using Lumo::Sign::VerdictCode;

// The provider library for the whole process (see Lumo::Sign::SetProviderLibrary): a file
// name or path, UTF-8; empty goes back to the environment, else the default name.
int32_t SetProviderLibrary(const std::string& path);

// The canonical text of a client's standard UTF-8 text (checked by the caller): the
// fixed-prefix form, or with numbered the exact bytes the Root action signs. result is
// emptied first and stays empty on failure.
int32_t CanonicalTextUtf8(std::string_view xml, bool numbered, Lumo::Base::ByteString& result);

// How a signature check is asked for.
struct CheckRequest {
  Lumo::Base::AnsiString profile;  // the key profile that verifies, opened for the call
  bool testMode = false;           // no provider: a signature verifies when it equals the bytes
  bool childs = false;             // the values childs put into the children, else root's own
  bool allowUnsignedContent = false;
};

// Checks the signature values of a client's standard UTF-8 text (checked by the caller)
// or of a file's document. result receives the verdicts whenever the document was
// examined (and is empty otherwise); the status is 0 when every signature is accepted, and
// otherwise the error describes the first that was not: a provider's refusal with its
// status, a document refused by the check, or a signature that could not be checked.
int32_t CheckSignatureUtf8(std::string_view xml, const CheckRequest& request,
                           std::optional<SignatureCheck>& result);
int32_t CheckSignatureFile(const Lumo::Base::AnsiString& fileName, const CheckRequest& request,
                           std::optional<SignatureCheck>& result);

// Who signed the envelope whose signature the last verify of the calling thread handed to
// the provider, read from the signature whatever the provider's verdict: nothing when the
// thread's last working call of either object verified none (another action, test mode,
// a failure before the signature was reached). The reference stays valid until the
// thread's next working call.
const std::optional<CmsSigners>& LastVerifiedSigners() noexcept;
// Lets the thread's last verified signer go: for a caller whose working call is refused
// before it reaches an object (the objects' working calls let it go themselves).
void ForgetVerifiedSigners() noexcept;

}  // namespace Lumo::Automation
