// The independent check: our detached signatures verify with the openssl command (GOST
// engine), and CMS made by the openssl command verifies through the provider.
#include "spki1_test_support.h"

using namespace spki1test;

namespace {

const Provider& P() { return Provider::Get(); }

// Signs data through the provider, then has `openssl cms -verify` check it against the
// profile's certificate as trust anchor.
void OpensslVerifiesOurSignature(const char* profile) {
  std::string data = Message();
  VCERT_CONTEXT ctx = P().Open(profile);
  std::string sig = P().SignBytes(ctx, data);
  P().Uninitialize(ctx);
  std::string base = Home::Get().Scratch(std::string("ours-") + profile);
  WriteAll(base + ".data", data);
  WriteAll(base + ".der", sig);
  RunResult r = Run("openssl cms -verify -binary -inform DER -in " + Quote(base + ".der") +
                    " -content " + Quote(base + ".data") + " -CAfile " +
                    Quote(ProfileFile(profile, "cert.pem")) + " -engine gost -out /dev/null");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Verification successful"), std::string::npos) << r.out;
  // openssl sees the three signed attributes.
  RunResult print =
      Run("openssl cms -cmsout -print -inform DER -in " + Quote(base + ".der") + " -engine gost");
  EXPECT_NE(print.out.find("contentType"), std::string::npos);
  EXPECT_NE(print.out.find("messageDigest"), std::string::npos);
  EXPECT_NE(print.out.find("signingTime"), std::string::npos);
  // The same check fails once the data differs by one byte.
  data[0] ^= 0x20;
  WriteAll(base + ".data", data);
  r = Run("openssl cms -verify -binary -inform DER -in " + Quote(base + ".der") + " -content " +
          Quote(base + ".data") + " -CAfile " + Quote(ProfileFile(profile, "cert.pem")) +
          " -engine gost -out /dev/null");
  EXPECT_NE(r.code, 0) << r.out;
}

TEST(OpensslInterop, OpensslVerifiesGost256) { OpensslVerifiesOurSignature(Gost256()); }
TEST(OpensslInterop, OpensslVerifiesGost512) { OpensslVerifiesOurSignature(Gost512()); }
TEST(OpensslInterop, OpensslVerifiesRsa) { OpensslVerifiesOurSignature(Rsa()); }
TEST(OpensslInterop, OpensslVerifiesEcdsa) { OpensslVerifiesOurSignature(Ecdsa()); }

TEST(OpensslInterop, ProviderVerifiesOpensslGost256) {
  std::string data = Message();
  std::string sig = OpensslSigns({Gost256()}, data);
  VCERT_CONTEXT ctx = P().Open(Gost256());
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(ctx, data, sig, &signers), 0u);
  EXPECT_EQ(signers, std::vector<uint32_t>{0});
  data[2999] ^= 1;
  EXPECT_EQ(P().VerifyBytes(ctx, data, sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_DIGEST_MISMATCH});
  P().Uninitialize(ctx);
}

TEST(OpensslInterop, ProviderVerifiesOpensslGost512AndRsa) {
  std::string data = Message(1234);
  for (const char* p : {Gost512(), Rsa(), Ecdsa()}) {
    std::string sig = OpensslSigns({p}, data);
    VCERT_CONTEXT ctx = P().Open(p);
    EXPECT_EQ(P().VerifyBytes(ctx, data, sig), 0u) << p;
    P().Uninitialize(ctx);
  }
}

TEST(OpensslInterop, WithoutSignedAttributes) {
  std::string data = Message();
  std::string sig = OpensslSigns({Gost256()}, data, "-noattr");
  VCERT_CONTEXT ctx = P().Open(Gost256());
  EXPECT_EQ(P().VerifyBytes(ctx, data, sig), 0u);
  data[5] ^= 1;  // the signature covers the content directly
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(ctx, data, sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_BAD_SIGNATURE});
  P().Uninitialize(ctx);
}

TEST(OpensslInterop, EverySignerHasItsOwnStatus) {
  // Signed by Gost256 (trusted by its own profile) and by Stranger (not trusted there).
  std::string data = Message(500);
  std::string sig = OpensslSigns({Gost256(), Stranger()}, data);
  VCERT_CONTEXT ctx = P().Open(Gost256());
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(ctx, data, sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, (std::vector<uint32_t>{0, SPKI1_SIGNER_UNTRUSTED}));
  P().Uninitialize(ctx);
}

TEST(OpensslInterop, SignerCertificateOnlyInTheProfile) {
  // -nocerts leaves the signer's certificate out of the CMS; the profile knows it.
  std::string data = Message(64);
  std::string sig = OpensslSigns({Gost256()}, data, "-nocerts");
  VCERT_CONTEXT own = P().Open(Gost256());
  EXPECT_EQ(P().VerifyBytes(own, data, sig), 0u);
  P().Uninitialize(own);
  VCERT_CONTEXT other = P().Open(Stranger());
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(other, data, sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_CERT_NOT_FOUND});
  P().Uninitialize(other);
}

}  // namespace
