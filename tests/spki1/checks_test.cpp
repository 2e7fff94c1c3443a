// What a signer must satisfy beyond its signature: the certificate's purpose, the
// profile's demands in profile.conf and the signing time, on certificates and CMS made
// here with OpenSSL (ECDSA, for speed; the policy does not look at the algorithm).
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <string>
#include <vector>

#include "../../spki1/spki1_core.h"
#include "../../spki1/spki1_status.h"

namespace {

using namespace spki1;

PkeyPtr Key() { return PkeyPtr(EVP_EC_gen("P-256")); }

// A self-signed certificate with the given extensions ("name=value" as openssl.cnf has
// them), valid from `fromDays` to `untilDays` around now.
X509Ptr Certificate(EVP_PKEY* key, const std::vector<std::pair<int, const char*>>& extensions,
                    long fromDays = -1, long untilDays = 30) {
  X509Ptr x(X509_new());
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7);
  X509_NAME* name = X509_get_subject_name(x.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Checked"), -1, -1, 0);
  X509_set_issuer_name(x.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), fromDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), untilDays * 86400L);
  X509_set_pubkey(x.get(), key);
  for (const auto& [nid, value] : extensions) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    EXPECT_NE(ext, nullptr) << value;
    X509_add_ext(x.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x.get(), key, EVP_sha256());
  return x;
}

SignerPolicy PolicyOf(const std::string& conf) {
  SignerPolicy policy;
  EXPECT_FALSE(ReadSignerPolicy(conf, "profile.conf", policy));
  return policy;
}

TEST(Spki1SignerPolicy, CertificatePurposes) {
  struct Case {
    const char* label;
    std::vector<std::pair<int, const char*>> extensions;
    const char* conf;
    uint32_t status;
  };
  const Case cases[] = {
      {"no extensions", {}, "", 0},
      {"CA", {{NID_basic_constraints, "critical,CA:TRUE"}}, "", SPKI1_SIGNER_IS_CA},
      {"CA with signing key usage",
       {{NID_basic_constraints, "CA:TRUE"}, {NID_key_usage, "digitalSignature,keyCertSign"}},
       "",
       SPKI1_SIGNER_IS_CA},
      {"not a CA", {{NID_basic_constraints, "CA:FALSE"}}, "", 0},
      {"keyEncipherment", {{NID_key_usage, "keyEncipherment"}}, "", SPKI1_SIGNER_KEY_USAGE},
      {"keyCertSign only", {{NID_key_usage, "keyCertSign,cRLSign"}}, "", SPKI1_SIGNER_KEY_USAGE},
      {"nonRepudiation only", {{NID_key_usage, "nonRepudiation"}}, "", 0},
      {"digitalSignature", {{NID_key_usage, "digitalSignature,keyEncipherment"}}, "", 0},
      {"TLS server", {{NID_ext_key_usage, "serverAuth"}}, "", SPKI1_SIGNER_EXT_KEY_USAGE},
      {"TLS both", {{NID_ext_key_usage, "serverAuth,clientAuth"}}, "", SPKI1_SIGNER_EXT_KEY_USAGE},
      {"TLS and mail", {{NID_ext_key_usage, "serverAuth,emailProtection"}}, "", 0},
      {"code signing", {{NID_ext_key_usage, "codeSigning"}}, "", 0},
      {"demanded, none", {}, "signer_eku=1.3.6.1.5.5.7.3.4", SPKI1_SIGNER_EXT_KEY_USAGE},
      {"demanded, present",
       {{NID_ext_key_usage, "serverAuth,emailProtection"}},
       "signer_eku=1.2.643.9.9, 1.3.6.1.5.5.7.3.4",
       0},
      {"demanded, other",
       {{NID_ext_key_usage, "codeSigning"}},
       "signer_eku=1.3.6.1.5.5.7.3.4",
       SPKI1_SIGNER_EXT_KEY_USAGE},
  };
  PkeyPtr key = Key();
  for (const Case& c : cases) {
    X509Ptr cert = Certificate(key.get(), c.extensions);
    EXPECT_EQ(SignerCertificatePolicy(cert.get(), PolicyOf(c.conf)), c.status) << c.label;
  }
}

TEST(Spki1SignerPolicy, ProfileConfSettings) {
  EXPECT_TRUE(PolicyOf("# x\ncrl=require\n").requireCrl);
  EXPECT_FALSE(PolicyOf("crl=optional\n").requireCrl);
  EXPECT_EQ(PolicyOf("signer_eku= 1.2.3 ,1.3.6.1.5.5.7.3.4,\n").signerEkus,
            (std::vector<std::string>{"1.2.3", "1.3.6.1.5.5.7.3.4"}));
  for (const char* bad : {"crl=always\n", "signer_eku=emailProtection\n", "signer_eku=1..2\n"}) {
    SignerPolicy policy;
    std::optional<Error> e = ReadSignerPolicy(bad, "profile.conf", policy);
    ASSERT_TRUE(e) << bad;
    EXPECT_EQ(e->status, SPKI1_E_PROFILE_DAMAGED);
    EXPECT_NE(e->subject.find("profile.conf"), std::string::npos);
  }
}

// A detached CMS over data whose signing-time attribute is `signedAt` (none: no signed
// attributes at all), or, garbled, a text where the time should be.
std::string SignAt(EVP_PKEY* key, X509* cert, const std::string& data,
                   std::optional<time_t> signedAt, bool garbled = false) {
  const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP |
                         (signedAt ? 0u : static_cast<unsigned>(CMS_NOATTR));
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  CMS_SignerInfo* si = CMS_add1_signer(cms.get(), cert, key, EVP_sha256(), flags);
  EXPECT_NE(si, nullptr);
  if (garbled) {
    CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, V_ASN1_UTF8STRING, "yesterday", 9);
  } else if (signedAt) {
    ASN1_TIME* t = ASN1_TIME_set(nullptr, *signedAt);
    CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, t->type, t, -1);
    ASN1_TIME_free(t);
  }
  BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  EXPECT_EQ(CMS_final(cms.get(), in.get(), nullptr, flags), 1);
  unsigned char* der = nullptr;
  int n = i2d_CMS_ContentInfo(cms.get(), &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

TEST(Spki1SignerPolicy, SigningTime) {
  PkeyPtr key = Key();
  // Valid from two days ago for thirty days.
  X509Ptr cert = Certificate(key.get(), {{NID_key_usage, "digitalSignature"}}, -2, 30);
  Profile profile;
  profile.trust.reset(X509_STORE_new());
  X509_STORE_add_cert(profile.trust.get(), cert.get());
  const time_t now = std::time(nullptr);
  struct Case {
    const char* label;
    std::optional<time_t> signedAt;
    uint32_t status;
    bool garbled = false;
  };
  const Case cases[] = {
      {"not a time", now, SPKI1_SIGNER_NOT_VALID_AT_SIGNING, true},
      {"now", now, 0},
      {"yesterday", now - 86400, 0},
      {"a minute ahead (clocks differ)", now + 60, 0},
      {"an hour ahead", now + 3600, SPKI1_SIGNER_SIGNED_IN_FUTURE},
      {"before the certificate", now - 3 * 86400, SPKI1_SIGNER_NOT_VALID_AT_SIGNING},
      {"no signing time", std::nullopt, 0},
  };
  const std::string data = "платёж";
  for (const Case& c : cases) {
    const std::string cms = SignAt(key.get(), cert.get(), data, c.signedAt, c.garbled);
    std::vector<SignerVerdict> signers;
    ASSERT_FALSE(VerifyDetached(profile, reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                reinterpret_cast<const uint8_t*>(cms.data()), cms.size(), signers))
        << c.label;
    ASSERT_EQ(signers.size(), 1u) << c.label;
    EXPECT_EQ(signers[0].status, c.status) << c.label;
    if (c.status == SPKI1_SIGNER_NOT_VALID_AT_SIGNING && !c.garbled)
      EXPECT_NE(signers[0].subject.find("CN=Checked"), std::string::npos) << signers[0].subject;
  }
}

}  // namespace
