// Who signed: the signers of a detached CMS SignedData, read from the signature itself
// (whichever provider made or checked it): each signer's certificate as the signature
// carries it, and the time of signing the signer claims. Nothing here checks anything;
// the provider's verdict says whether the signature holds.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Lumo::Sign {

struct CmsSigner {
  // From the signer's certificate; empty when the signature does not carry it.
  std::string commonName;    // subject CN, UTF-8
  std::string organization;  // subject O, UTF-8
  bool certificateFound = false;
  // From the signer's identifier (issuer and serial), or its certificate.
  std::string serial;       // upper-case hexadecimal, as the certificate's bytes have it
  std::string issuer;       // "CN=..., O=..." of the issuer, when known
  std::string signingTime;  // "2026-12-09 10:14:03 UTC"; empty when not claimed
};

// What was read: the signers, or why the signature is not CMS that can be read.
struct CmsSigners {
  std::vector<CmsSigner> signers;
  std::string error;  // English; empty when read
};

CmsSigners ReadCmsSigners(std::string_view cms);

// "CN=Clerk, O=Bank, serial 1A2B, issuer CN=Bank CA, 2026-12-09 10:14:03 UTC" (the parts
// that are known), several signers joined by "; ". For a signature that could not be
// read: "unreadable signature (why)".
std::string SignersText(const CmsSigners& read);

}  // namespace Lumo::Sign
