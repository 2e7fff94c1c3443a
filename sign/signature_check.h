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
#include <string>
#include <vector>

#include "base/types.h"
#include "dom/dom.h"

namespace Lumo::Sign {

class TProfile;

// The element that carries a signature value, as the signing actions write it.
inline constexpr Lumo::Base::WideView kSignatureValueLocalName = u"SigValue";
inline constexpr Lumo::Base::WideView kSignatureValueNamespace = u"urn:dez-ru:dsig:v1.1";

// One signature value of a document and what became of it.
struct SignatureVerdict {
  int32_t index = 0;  // 0: the root's own signature; n: the root's n-th child element
  Lumo::Base::WideString
      element;  // qualified name of the signed element, as the document spells it
  bool verified = false;
  // The signature could not be judged: the bytes it was made over cannot be recomputed
  // from this document (the reason says why). Never set together with verified.
  bool cannotRebuild = false;
  std::string reason;  // UTF-8; empty when verified
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
