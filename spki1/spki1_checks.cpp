// What a signer must satisfy beyond a signature that verifies and a chain to a trusted
// certificate: a certificate meant for signing documents, valid when the signature says
// it was made, and not revoked by a CRL the profile holds.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "spki1_core.h"
#include "spki1_status.h"

namespace spki1 {

namespace {

// A signing time up to this far ahead of this host's clock is taken as the two clocks'
// difference, not as a signature from the future.
constexpr time_t kClockSkewSeconds = 300;

std::string OidText(const ASN1_OBJECT* oid) {
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, oid, 1);
  return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n))
                                                      : std::string();
}

std::string SerialText(X509* cert) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  std::string out;
  static const char* digits = "0123456789ABCDEF";
  for (int i = 0; i < serial->length; ++i) {
    out += digits[serial->data[i] >> 4];
    out += digits[serial->data[i] & 15];
  }
  return out.empty() ? "00" : out;
}

// "CN=Clerk,O=Bank (серийный номер 1A2B)": a certificate as the texts name it.
std::string CertText(X509* cert) {
  return NameText(X509_get_subject_name(cert)) + " (серийный номер " + SerialText(cert) + ")";
}

bool TlsOnly(const EXTENDED_KEY_USAGE* eku) {
  if (sk_ASN1_OBJECT_num(eku) <= 0) return false;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
    int nid = OBJ_obj2nid(sk_ASN1_OBJECT_value(eku, i));
    if (nid != NID_server_auth && nid != NID_client_auth) return false;
  }
  return true;
}

// The store's objects are read under its lock: OpenSSL sorts them in place on a lookup,
// and a context (with its store) may be used by several threads at once.
class StoreLock {
 public:
  explicit StoreLock(X509_STORE* store) : store_(store) { X509_STORE_lock(store_); }
  ~StoreLock() { X509_STORE_unlock(store_); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  X509_STORE* store_;
};

// The CRLs of the store that name the issuer as theirs.
std::vector<X509_CRL*> CrlsOf(X509_STORE* store, X509* issuer) {
  std::vector<X509_CRL*> found;
  StoreLock lock(store);
  STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objs); ++i) {
    X509_CRL* crl = X509_OBJECT_get0_X509_CRL(sk_X509_OBJECT_value(objs, i));
    if (crl && X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) == 0)
      found.push_back(crl);
  }
  return found;
}

// "1.2.643.100.113.1": at least two arcs of digits, nothing else.
bool DottedOid(const std::string& text) {
  size_t arcs = 0, digits = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.' && digits > 0) {
      ++arcs;
      digits = 0;
    } else {
      return false;
    }
  }
  return digits > 0 && arcs >= 1;
}

}  // namespace

std::vector<X509CrlPtr> ParseCrls(const std::string& bytes) {
  std::vector<X509CrlPtr> crls;
  if (bytes.find("-----BEGIN X509 CRL-----") != std::string::npos) {
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    while (X509_CRL* c =
               bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr)
      crls.emplace_back(c);
  } else if (!bytes.empty() && bytes.size() < static_cast<size_t>(LONG_MAX)) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size())));
    if (crl && p == reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size())
      crls.push_back(std::move(crl));
  }
  ERR_clear_error();
  return crls;
}

std::string NameText(const X509_NAME* name) {
  // RFC 2253 escaping, UTF-8 kept, in the certificate's own order ("CN=Clerk, O=Bank"), as
  // the library writes the signer of a verdict.
  const unsigned long flags = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) |
                              XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | XN_FLAG_DUMP_UNKNOWN_FIELDS;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) return "?";
  char* p = nullptr;
  long n = BIO_get_mem_data(bio.get(), &p);
  return std::string(p, static_cast<size_t>(n > 0 ? n : 0));
}

std::string TimeText(const ASN1_TIME* t) {
  struct tm tm {};
  if (!t || !ASN1_TIME_to_tm(t, &tm)) return "?";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

std::optional<Error> ReadSignerPolicy(const std::string& configText, const std::string& path,
                                      SignerPolicy& policy) {
  policy = SignerPolicy{};
  if (std::optional<std::string> crl = ConfigValue(configText, "crl")) {
    if (*crl == "require") {
      policy.requireCrl = true;
    } else if (*crl != "optional" && !crl->empty()) {
      return Error{SPKI1_E_PROFILE_DAMAGED, path + ": crl=" + *crl + " (require or optional)",
                   path + " (crl=" + *crl + ")"};
    }
  }
  if (std::optional<std::string> ekus = ConfigValue(configText, "signer_eku")) {
    size_t at = 0;
    while (at <= ekus->size()) {
      size_t comma = ekus->find(',', at);
      if (comma == std::string::npos) comma = ekus->size();
      std::string oid = ekus->substr(at, comma - at);
      while (!oid.empty() && (oid.back() == ' ' || oid.back() == '\t')) oid.pop_back();
      oid.erase(0, std::min(oid.size(), oid.find_first_not_of(" \t")));
      at = comma + 1;
      if (oid.empty()) continue;
      ASN1_OBJECT* obj = DottedOid(oid) ? OBJ_txt2obj(oid.c_str(), 1) : nullptr;
      ERR_clear_error();
      if (!obj)
        return Error{SPKI1_E_PROFILE_DAMAGED, path + ": signer_eku " + oid + " is not an OID",
                     path + " (signer_eku " + oid + ")"};
      policy.signerEkus.push_back(OidText(obj));
      ASN1_OBJECT_free(obj);
    }
  }
  return std::nullopt;
}

uint32_t SignerCertificatePolicy(X509* cert, const SignerPolicy& policy) {
  const uint32_t flags = X509_get_extension_flags(cert);  // also parses the extensions
  if ((flags & EXFLAG_BCONS) && (flags & EXFLAG_CA)) return SPKI1_SIGNER_IS_CA;
  if ((flags & EXFLAG_KUSAGE) &&
      !(X509_get_key_usage(cert) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)))
    return SPKI1_SIGNER_KEY_USAGE;
  auto* eku =
      static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
  ERR_clear_error();
  uint32_t status = 0;
  if (!policy.signerEkus.empty()) {
    status = SPKI1_SIGNER_EXT_KEY_USAGE;  // the bank's CA marks signing keys: unmarked is not
    for (int i = 0; eku && i < sk_ASN1_OBJECT_num(eku) && status; ++i) {
      const std::string oid = OidText(sk_ASN1_OBJECT_value(eku, i));
      for (const std::string& wanted : policy.signerEkus)
        if (oid == wanted) status = 0;
    }
  } else if (eku && TlsOnly(eku)) {
    status = SPKI1_SIGNER_EXT_KEY_USAGE;
  }
  EXTENDED_KEY_USAGE_free(eku);
  return status;
}

bool SigningTime(CMS_SignerInfo* si, std::optional<time_t>& signedAt) {
  signedAt.reset();
  int at = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
  if (at < 0) return true;
  X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, at);
  ASN1_TYPE* value = attr ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
  struct tm tm {};
  if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME) ||
      !ASN1_TIME_to_tm(value->value.utctime, &tm)) {
    ERR_clear_error();
    return false;
  }
  signedAt = timegm(&tm);
  return true;
}

SignerVerdict CheckChainAtSigningTime(STACK_OF(X509) * chain, time_t signedAt) {
  if (signedAt > std::time(nullptr) + kClockSkewSeconds) {
    struct tm tm {};
    char buf[32];
    gmtime_r(&signedAt, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return {SPKI1_SIGNER_SIGNED_IN_FUTURE, std::string("время подписания ") + buf};
  }
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    const ASN1_TIME* from = X509_get0_notBefore(cert);
    const ASN1_TIME* until = X509_get0_notAfter(cert);
    // X509_cmp_time: -1 when the certificate's time is before the given one.
    if (X509_cmp_time(from, &signedAt) >= 0 || X509_cmp_time(until, &signedAt) <= 0) {
      struct tm tm {};
      char buf[32];
      gmtime_r(&signedAt, &tm);
      std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
      return {SPKI1_SIGNER_NOT_VALID_AT_SIGNING, CertText(cert) + ", подписано " + buf +
                                                     ", сертификат действует с " + TimeText(from) +
                                                     " по " + TimeText(until)};
    }
  }
  return {};
}

// The verified chain, and above a top that the profile trusts in itself the issuers the
// profile also holds, up to a self-signed one: a trusted intermediate may be revoked by
// its CA as well.
static std::vector<X509*> ChainToTheTop(STACK_OF(X509) * verified, X509_STORE* store) {
  std::vector<X509*> chain;
  for (int i = 0; i < sk_X509_num(verified); ++i) chain.push_back(sk_X509_value(verified, i));
  StoreLock lock(store);
  STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store);
  while (!chain.empty() && chain.size() < 16 && X509_self_signed(chain.back(), 0) != 1) {
    X509* above = nullptr;
    for (int i = 0; i < sk_X509_OBJECT_num(objs) && !above; ++i) {
      X509* x = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objs, i));
      if (x && X509_check_issued(x, chain.back()) == X509_V_OK) above = x;
    }
    if (!above) break;
    chain.push_back(above);
  }
  ERR_clear_error();
  return chain;
}

CrlIssuers VerifiedCrlIssuers(X509_STORE* store) {
  CrlIssuers found;
  StoreLock lock(store);
  STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objs); ++i) {
    X509_CRL* crl = X509_OBJECT_get0_X509_CRL(sk_X509_OBJECT_value(objs, i));
    for (int j = 0; crl && j < sk_X509_OBJECT_num(objs); ++j) {
      X509* x = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objs, j));
      if (!x || X509_NAME_cmp(X509_get_subject_name(x), X509_CRL_get_issuer(crl)) != 0) continue;
      EVP_PKEY* key = X509_get0_pubkey(x);
      if (key && X509_CRL_verify(crl, key) == 1) found.emplace_back(crl, x);
    }
  }
  ERR_clear_error();
  return found;
}

SignerVerdict CheckRevocation(STACK_OF(X509) * verified, X509_STORE* store,
                              const SignerPolicy& policy, const CrlIssuers* known) {
  // Each certificate against its issuer's CRL: the issuer is the next one up the chain.
  // The top one is either self-signed (nothing above revokes it) or trusted in itself,
  // its issuer not held: then no CRL of that issuer could be authenticated.
  const std::vector<X509*> chain = ChainToTheTop(verified, store);
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    X509* cert = chain[i];
    X509* issuer = chain[i + 1];
    EVP_PKEY* issuerKey = X509_get0_pubkey(issuer);
    X509_CRL* newest = nullptr;
    for (X509_CRL* crl : CrlsOf(store, issuer)) {
      bool checked = false;
      for (size_t k = 0; known && k < known->size() && !checked; ++k)
        checked = (*known)[k].first == crl && X509_cmp((*known)[k].second, issuer) == 0;
      if (!checked && (!issuerKey || X509_CRL_verify(crl, issuerKey) != 1)) {
        ERR_clear_error();
        return {SPKI1_SIGNER_CRL_BAD, "СОС издателя " + NameText(X509_get_subject_name(issuer))};
      }
      if (!newest ||
          ASN1_TIME_compare(X509_CRL_get0_lastUpdate(crl), X509_CRL_get0_lastUpdate(newest)) > 0)
        newest = crl;
    }
    const std::string issuerName = NameText(X509_get_subject_name(issuer));
    if (!newest) {
      if (policy.requireCrl) return {SPKI1_SIGNER_CRL_MISSING, "нет СОС издателя " + issuerName};
      continue;
    }
    // A CRL past its next update still proves what it lists as revoked.
    X509_REVOKED* revoked = nullptr;
    if (X509_CRL_get0_by_cert(newest, &revoked, cert) == 1) {
      return {SPKI1_SIGNER_REVOKED,
              CertText(cert) + ", отозван " + TimeText(X509_REVOKED_get0_revocationDate(revoked))};
    }
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(newest);
    const bool stale = X509_cmp_current_time(X509_CRL_get0_lastUpdate(newest)) >= 0 ||
                       (next && X509_cmp_current_time(next) <= 0);
    if (stale && policy.requireCrl) {
      return {SPKI1_SIGNER_CRL_EXPIRED, "СОС издателя " + issuerName + " выпущен " +
                                            TimeText(X509_CRL_get0_lastUpdate(newest)) +
                                            ", следующий " + (next ? TimeText(next) : "?")};
    }
  }
  ERR_clear_error();
  return {};
}

}  // namespace spki1
