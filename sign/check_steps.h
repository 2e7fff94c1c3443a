// Internal to the signature check: the steps that the check on a whole tree
// (signature_check.cpp) and the check taken as a document is parsed (streamed_check.cpp)
// share.
#pragma once

#include <string>

#include "base/types.h"
#include "dom/dom.h"
#include "sign/signature_check.h"

namespace Lumo::Sign::CheckSteps {

inline constexpr Lumo::Base::WideView kDeclarationPrefix = u"xmlns:";

bool IsSignatureValue(const Lumo::Dom::Node& element);
// The first child element when it is a signature value element, else a null node.
Lumo::Dom::Node SignatureValueOf(const Lumo::Dom::Node& element);
// The signature bytes of a value written by EncodeBase64, white space allowed anywhere;
// false for any other text.
bool DecodeSignatureValue(const Lumo::Base::WideString& text, Lumo::Base::ByteString& signature);
// The signature verified over the bytes (test mode: equal to them), the verdict filled in.
void Verify(TProfile& profile, const Lumo::Base::ByteString& data,
            const Lumo::Base::ByteString& signature, SignatureVerdict& verdict);
// The check on the document's whole tree: every case, each verdict with what it found.
SignatureCheck WholeCheck(TProfile& profile, Lumo::Dom::Node root, SignedBy action,
                          const CheckOptions& options);
// The NOT COVERED line of a Childs packet: the root, its attributes, and what else stands
// between its children.
std::string NotCovered(const Lumo::Dom::Node& root, bool text, bool comments, bool instructions);

}  // namespace Lumo::Sign::CheckSteps
