// Shared pieces of the spki1 provider library and of spki1-tool: OpenSSL ownership
// types, the GOST engine, the profile store on disk, key loading with PIN handling,
// and detached CMS signing and verification.
#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace spki1 {

// ---- ownership of OpenSSL objects --------------------------------------------------
template <auto Fn>
struct Deleter {
  template <typename T>
  void operator()(T* p) const noexcept {
    if (p) Fn(p);
  }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
inline void FreeX509Stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<FreeX509Stack>>;

// A failure with one of the SPKI1_ status codes, an English detail for the tool, and
// what the provider's Russian text of the status is to name: the profile file (with
// the system's reason) or the certificate's validity date. May be empty.
struct Error {
  uint32_t status;
  std::string detail;
  std::string subject = {};
};

// Loads the GOST engine once per process and makes it the default for its
// algorithms. Returns false when it cannot be loaded (GOST keys then fail with
// SPKI1_E_ENGINE; RSA and ECDSA keep working). Thread-safe.
bool EnsureEngine();
// Releases the engine reference taken by EnsureEngine (at library unload).
void ReleaseEngine();

// OpenSSL's error queue as one line (for the tool), and clears it.
std::string OpenSslErrors();

// ---- profiles on disk ----------------------------------------------------------
// HOME/<name>/key.pem       private key, PKCS#8 PEM, optionally encrypted with the PIN;
//                           absent from a verify-only profile (profile.conf: key=none)
// HOME/<name>/cert.pem      the profile's certificate
// HOME/<name>/trusted/*.pem further certificates the profile trusts
// HOME/<name>/crl/*         certificate revocation lists, PEM or DER
// HOME/<name>/profile.conf  optional "key=value" lines: pin=..., key=none, crl=require,
//                           signer_eku=OID,OID...
// HOME is $SPKI1_HOME, else $HOME/.spki1. Names are stored lower-cased and matched
// without regard to case (ASCII and Cyrillic letters).
std::string ProviderHome();
std::string FoldName(const std::string& name);
bool ValidProfileName(const std::string& name);
// Directory of an existing profile, or nullopt.
std::optional<std::string> FindProfile(const std::string& name);
std::string ProfileDirForNew(const std::string& name);  // HOME/<folded name>
std::vector<std::string> ListProfiles();                // directory names, sorted

bool ReadFile(const std::string& path, std::string& out);
// A file of a profile: SPKI1_E_FILE_MISSING when it is not there, SPKI1_E_FILE_UNREADABLE
// (with the system's reason) when it is there and cannot be read.
std::optional<Error> ReadProfileFile(const std::string& path, std::string& out);
// profile.conf of a profile: empty text when there is none; an error when it is there
// and cannot be read (its settings must not be silently lost).
std::optional<Error> ReadProfileConfig(const std::string& profileDir, std::string& text);
// The value of "key=value" in the configuration text, or nullopt.
std::optional<std::string> ConfigValue(const std::string& configText, const std::string& key);
bool WriteFile(const std::string& path, const std::string& bytes, bool secret);

// PEM text helpers.
X509Ptr ParseCertPem(const std::string& pem);  // first certificate, or null
std::vector<X509Ptr> ParseCertsPem(const std::string& pem);
std::string CertToPem(X509* cert);
bool KeyPemIsEncrypted(const std::string& pem);
// Decodes a PEM private key with an optional PIN; null on failure.
PkeyPtr ParseKeyPem(const std::string& pem, const std::string* pin);
// PKCS#8 PEM, encrypted with AES-256-CBC when the PIN is not empty.
std::string KeyToPem(EVP_PKEY* key, const std::string& pin);

// PEM text of one or more CRLs, or one DER CRL; empty when the bytes hold none (or
// anything else after them).
std::vector<X509CrlPtr> ParseCrls(const std::string& bytes);
// A name as UTF-8 text, "CN=Name,O=Bank"; a time as "2026-12-09 10:14:03 UTC".
std::string NameText(const X509_NAME* name);
std::string TimeText(const ASN1_TIME* t);

// ---- opening a profile ---------------------------------------------------------
// What profile.conf asks of the signers a profile accepts.
struct SignerPolicy {
  bool requireCrl = false;              // crl=require: a missing or stale CRL refuses
  std::vector<std::string> signerEkus;  // signer_eku=: the signer needs one of these OIDs
};

// Each CRL of a profile's store with the certificate of the store whose key verified it
// when the profile was read: a verification need not check that signature again.
using CrlIssuers = std::vector<std::pair<const X509_CRL*, const X509*>>;

struct Profile {
  std::string dir;
  PkeyPtr key;  // null in a verify-only profile
  X509Ptr cert;
  X509StorePtr trust;  // the profile's certificate, its trusted certificates and its CRLs
  std::shared_ptr<const CrlIssuers> crlIssuers;  // into trust, which keeps them
  SignerPolicy policy;
  bool verifyOnly = false;  // key=none: made of certificates alone
};

enum class PinMode { Silent, AskTerminal };

// Opens a profile with its key; on failure returns the error.
std::optional<Error> OpenProfile(const std::string& name, PinMode mode, Profile& out);
// Only the certificate and trust store, without the key (for the tool).
std::optional<Error> OpenProfileCertOnly(const std::string& name, Profile& out);
// SPKI1_E_CERT_EXPIRED / SPKI1_E_CERT_NOT_YET_VALID when the profile's certificate is
// outside its validity period now: a signature made with it would be rejected.
std::optional<Error> CertificateInForce(const Profile& profile);

// ---- signing and verification ---------------------------------------------------
// The digest that goes with a key: GOST R 34.11-2012 256/512 for GOST R 34.10-2012
// keys, SHA-256 for RSA and EC keys; null for others.
const EVP_MD* DigestForKey(EVP_PKEY* key);
std::string KeyAlgorithmName(EVP_PKEY* key);

// Detached CMS SignedData (DER) over data.
std::optional<Error> SignDetached(EVP_PKEY* key, X509* cert, const uint8_t* data, size_t size,
                                  std::string& der);

// The verdict on one signer: 0 or a SPKI1_SIGNER_ code, and what its text is to name
// (the certificate, a date), possibly empty.
struct SignerVerdict {
  uint32_t status = 0;
  std::string subject;
};

// Verifies every signer against the profile's trust, CRLs and policy. Returns an error
// (SPKI1_E_CMS_MALFORMED / SPKI1_E_CMS_NOT_SIGNED / ...) when the CMS cannot be used.
std::optional<Error> VerifyDetached(const Profile& profile, const uint8_t* data, size_t size,
                                    const uint8_t* sig, size_t sigSize,
                                    std::vector<SignerVerdict>& signers);

// ---- what a verified chain must also satisfy (spki1_checks.cpp) ----------------------
// Whether the certificate may sign documents under the policy: 0, SPKI1_SIGNER_IS_CA,
// SPKI1_SIGNER_KEY_USAGE or SPKI1_SIGNER_EXT_KEY_USAGE.
uint32_t SignerCertificatePolicy(X509* cert, const SignerPolicy& policy);
// The signing-time attribute of a signer (none when it has none); false when it has one
// that does not read as a time.
bool SigningTime(CMS_SignerInfo* si, std::optional<time_t>& signedAt);
// The chain (signer first) checked at the signing time and against the CRLs of the
// store: the first failure, or status 0.
SignerVerdict CheckChainAtSigningTime(STACK_OF(X509) * chain, time_t signedAt);
SignerVerdict CheckRevocation(STACK_OF(X509) * chain, X509_STORE* store, const SignerPolicy& policy,
                              const CrlIssuers* verified);
// The CRLs of the store that a certificate of the store verifies, with that certificate.
CrlIssuers VerifiedCrlIssuers(X509_STORE* store);
// The profile.conf settings of the policy; an error names a value it does not take.
std::optional<Error> ReadSignerPolicy(const std::string& configText, const std::string& path,
                                      SignerPolicy& policy);

}  // namespace spki1
