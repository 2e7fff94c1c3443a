// Checking what was signed: the signature values that the Root and Childs actions put into
// a document (dsig:SigValue as the first child element), verified against the bytes the
// document itself gives once that element is taken out again.
//
// The signed bytes are recomputed exactly as the signing action computed them from its
// input, so a document whose prefixes, attribute order or insignificant white space were
// changed after signing still checks, while any change to signed content, to an attribute
// value or to the order of elements does not.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/types.h"
#include "canon/canonical.h"
#include "dom/dom.h"
#include "sign/cms_signer.h"

namespace Lumo::Sign {

class TProfile;

// The element that carries a signature value, as the signing actions write it.
inline constexpr Lumo::Base::WideView kSignatureValueLocalName = u"SigValue";
inline constexpr Lumo::Base::WideView kSignatureValueNamespace = u"urn:dez-ru:dsig:v1.1";

// What became of one signature value. The values are kept stable: the C API hands them out.
enum class VerdictCode : int32_t {
  Ok = 0,
  Failed = 1,           // does not verify over the bytes the document gives (or those
                        // bytes cannot be taken from it)
  UnsignedContent = 2,  // verifies, but the document shows a reader what it does not cover
  Duplicate = 3,        // Childs: the signed bytes of an earlier child, again
  CannotRebuild = 4,    // the signed bytes cannot be recomputed from this document
  NoSignature = 5,      // no signature value where the action puts it, not one this library
                        // writes, or (Childs) no child element at all
  NotChecked = 6,       // the provider could not be asked: says nothing about the document
  OkUnsignedContentAllowed = 7,  // verifies; unsigned content shown, allowed by the caller
};

// Whether the verdict lets a caller act on the document (Ok and the allowed case).
bool IsAccepted(VerdictCode code);

// One signature value of a document and what became of it.
struct SignatureVerdict {
  int32_t index = 0;  // 0: the root's own signature; n: the root's n-th child element
  Lumo::Base::WideString
      element;            // qualified name of the signed element, as the document spells it
  bool verified = false;  // IsAccepted(code)
  // The signature could not be judged: the bytes it was made over cannot be recomputed
  // from this document (the reason says why). Never set together with verified.
  bool cannotRebuild = false;
  std::string reason;  // UTF-8; empty when verified
  VerdictCode code = VerdictCode::Failed;
  // The provider's status when the provider refused the signature (0 otherwise).
  uint32_t providerStatus = 0;
  // OkUnsignedContentAllowed: what the document shows unsigned, as reason would say it.
  std::string warning;
  int32_t duplicateOf = 0;  // Duplicate: the index of the earlier child
  // Who signed, read from the signature value itself whatever the verdict; none in test
  // mode and where the value is not Base64.
  std::optional<CmsSigners> signers;
};

// How a check is run.
struct CheckOptions {
  // Unsigned content becomes a warning on an accepted verdict instead of a refusal (for
  // archives whose documents were written out again by other tools).
  bool allowUnsignedContent = false;
  // The document's bytes as read, asked for only to tell the line of what is found
  // (null: verdicts name no line).
  std::function<std::string()> source;
  // CheckLoaded only: each verdict handed here in order as soon as it is known, instead of
  // being kept in SignatureCheck::verdicts (which then stays empty), so that a packet of
  // many children costs no memory per child.
  std::function<void(SignatureVerdict&&)> onVerdict;
};

// The verdicts of a document, and (Childs) the parts of the packet no signature covers:
// one line, empty for Root.
struct SignatureCheck {
  std::vector<SignatureVerdict> verdicts;
  std::string notCovered;
};

// Which signing action put the signature values into the document.
enum class SignedBy { Root, Childs };

// The bytes the Root action signs for a root element in fixed-prefix canonical form:
// its fixed-prefix canonical text, parsed again, in numbered-prefix canonical form.
// The one place the check takes signed bytes from; rewrites the node's document.
Lumo::Base::ByteString RootSignedBytes(Lumo::Dom::Node root);

// Checks every signature value of the document whose root is given: one verdict for Root,
// one per child element for Childs (a root without child elements gives one failing
// verdict: nothing was checked). The profile must be open unless it is in test mode; in
// test mode a signature verifies when it equals the signed bytes. The document is changed.
// Throws only when the document itself cannot be brought into canonical form.
//
// A verdict is Ok only when, besides the signature verifying, the tree a namespace-aware
// reader builds from the signed element (less its one signature value, which holds Base64
// text only) is the tree of the signed bytes, and nothing around it (a document type
// declaration; for Root also comments and processing instructions) changes what a reader
// sees. Childs: a child whose signed bytes an earlier child has is a Duplicate.
SignatureCheck CheckDocument(TProfile& profile, Lumo::Dom::Node root, SignedBy action,
                             const CheckOptions& options);
// The same for a document that load parses (load(handler) hands the root's children to the
// handler as they are parsed, load(nullptr) parses it whole; each gives its root element,
// or nothing); nothing when it gives no root element. A Root-signed document is checked
// as it is parsed, its tree never held whole, wherever it is as the Root action writes
// it; anything else is loaded whole (again) and checked as CheckDocument does.
std::optional<SignatureCheck> CheckLoaded(TProfile& profile,
                                          const Lumo::Canon::DocumentLoader& load, SignedBy action,
                                          const CheckOptions& options);
// The same with the default options: the verdicts only.
std::vector<SignatureVerdict> CheckSignatures(TProfile& profile, Lumo::Dom::Node root,
                                              SignedBy action);

// A signature value of a document with the bytes it was made over, as the check takes
// them: what openssl needs to verify it on its own (dezsign export-signature).
struct SignedPart {
  int32_t index = 0;                   // as SignatureVerdict::index
  Lumo::Base::WideString element;      // as SignatureVerdict::element
  Lumo::Base::ByteString signature;    // the decoded signature value (a CMS, DER)
  Lumo::Base::ByteString signedBytes;  // the bytes it was made over
  std::string reason;                  // why there is none (UTF-8); empty when there is
};

// Every signature value of the document whose root is given, one part for Root, one per
// child element for Childs, each with its signed bytes; a part without a value (or with
// one that is not Base64) says so in its reason. The document is changed. Throws only
// when the document itself cannot be brought into canonical form.
std::vector<SignedPart> SignedParts(Lumo::Dom::Node root, SignedBy action);

// Whether every verdict verified (false for none).
bool AllVerified(const std::vector<SignatureVerdict>& verdicts);

}  // namespace Lumo::Sign
