// spki1-tool: its forms, exit codes and the profiles it writes.
#include <sys/stat.h>

#include "base/version.h"
#include "spki1_test_support.h"

using namespace spki1test;

namespace {

const Provider& P() { return Provider::Get(); }
Home& H() { return Home::Get(); }

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(Spki1Tool, HelpTellsTheForms) {
  RunResult r = H().Tool("--help");
  EXPECT_EQ(r.code, 0);
  for (const char* form : {"create NAME", "import NAME --key", "import NAME --p12", "trust NAME",
                           "export-cert NAME", "list", "SPKI1_HOME", "SPKI1_PIN"}) {
    EXPECT_NE(r.out.find(form), std::string::npos) << form;
  }
  EXPECT_EQ(H().Tool("create --help").code, 0);
}

// The tool states the same version as the library it ships with.
TEST(Spki1Tool, VersionIsTheLibrarys) {
  RunResult r = H().Tool("--version");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, std::string("spki1-tool ") + Lumo::Base::LibraryVersion() + "\n");
}

TEST(Spki1Tool, UsageErrorsExitWithTwo) {
  EXPECT_EQ(H().Tool("").code, 2);
  EXPECT_EQ(H().Tool("frobnicate").code, 2);
  EXPECT_EQ(H().Tool("create").code, 2);
  EXPECT_EQ(H().Tool("create x --alg dsa").code, 2);
  EXPECT_EQ(H().Tool("create x --days").code, 2);
  EXPECT_EQ(H().Tool("create x --bogus").code, 2);
  EXPECT_EQ(H().Tool("create 'a/b'").code, 2);
  EXPECT_EQ(H().Tool("create x --save-pin").code, 2);
  EXPECT_EQ(H().Tool("create x --subject 'nonsense'").code, 2);
  EXPECT_EQ(H().Tool("import x").code, 2);
  EXPECT_EQ(H().Tool("import x --key k.pem").code, 2);
  EXPECT_EQ(H().Tool("trust x").code, 2);
  EXPECT_EQ(H().Tool("list extra").code, 2);
  RunResult r = H().Tool("create x --alg dsa");
  EXPECT_NE(r.out.find("unknown algorithm"), std::string::npos) << r.out;
  EXPECT_FALSE(Exists(H().ProfileDir("x")));
}

TEST(Spki1Tool, FailuresExitWithOne) {
  RunResult r = H().Tool("export-cert NoSuch");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("no profile"), std::string::npos) << r.out;
  EXPECT_EQ(H().Tool("trust NoSuch /dev/null").code, 1);
  Gost256();
  EXPECT_EQ(H().Tool("trust Gost256 /nonexistent.pem").code, 1);
  EXPECT_EQ(H().Tool("trust Gost256 /dev/null").code, 1);
  EXPECT_EQ(H().Tool("import y --key /nonexistent --cert /nonexistent").code, 1);
}

TEST(Spki1Tool, CreateWritesTheLayout) {
  RunResult r = H().Tool("create MixedCase --subject 'CN=Иван Петров,O=Банк' --pin 77 --days 30");
  ASSERT_EQ(r.code, 0) << r.out;
  std::string dir = H().ProfileDir("mixedcase");
  EXPECT_TRUE(Exists(dir + "/key.pem"));
  EXPECT_TRUE(Exists(dir + "/cert.pem"));
  EXPECT_TRUE(Exists(dir + "/profile.conf"));
  struct stat st;
  ASSERT_EQ(stat((dir + "/key.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "key readable by others";
  EXPECT_NE(ReadAll(dir + "/key.pem").find("ENCRYPTED"), std::string::npos);
  EXPECT_EQ(ReadAll(dir + "/profile.conf").find("77"), std::string::npos) << "PIN saved unasked";
  RunResult text =
      spki1test::Run("openssl x509 -noout -subject -enddate -nameopt utf8 -engine gost -in " +
                     Quote(dir + "/cert.pem"));
  EXPECT_NE(text.out.find("Иван Петров"), std::string::npos) << text.out;
  // A second create of the same name (in any case) is refused unless forced.
  EXPECT_EQ(H().Tool("create MIXEDCASE").code, 1);
  EXPECT_EQ(H().Tool("create MIXEDCASE --force --alg ecdsa").code, 0);
  VCERT_CONTEXT ctx = P().Open("mixedCASE");
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
}

TEST(Spki1Tool, ExportCertPrintsThePem) {
  Gost512();
  RunResult r = H().Tool("export-cert GOST512");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, ReadAll(H().ProfileDir("gost512") + "/cert.pem"));
}

TEST(Spki1Tool, ListShowsEveryProfile) {
  Gost256();
  Locked();
  Rsa();
  RunResult r = H().Tool("list");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("gost256\tgost2012-256\tCN=Gost256"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("locked\tgost2012-256"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\tPIN"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rsa\trsa-2048"), std::string::npos) << r.out;
}

// A self-signed certificate as openssl req -x509 makes it is a CA's, which receivers refuse
// as a signer: these make a signing certificate.
const std::string kSigningCertificate =
    " -addext basicConstraints=critical,CA:FALSE -addext keyUsage=digitalSignature";

TEST(Spki1Tool, ImportKeyAndCertificateMadeByOpenssl) {
  std::string k = H().Scratch("imp.key"), c = H().Scratch("imp.pem");
  RunResult gen = spki1test::Run(
      "openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:B "
      "-pass pass:9876 -aes-256-cbc -out " +
      Quote(k) + " && openssl req -engine gost -new -x509 -key " + Quote(k) +
      " -passin pass:9876 -subj /CN=Imported -days 5" + kSigningCertificate + " -out " + Quote(c));
  ASSERT_EQ(gen.code, 0) << gen.out;
  EXPECT_EQ(H().Tool("import Imported --key " + Quote(k) + " --cert " + Quote(c)).code, 1)
      << "an encrypted key needs its PIN";
  RunResult r =
      H().Tool("import Imported --key " + Quote(k) + " --cert " + Quote(c) + " --pin 9876");
  ASSERT_EQ(r.code, 0) << r.out;
  setenv("SPKI1_PIN", "9876", 1);
  VCERT_CONTEXT ctx = P().Open("imported");
  unsetenv("SPKI1_PIN");
  std::string sig = P().SignBytes(ctx, "imported data");
  EXPECT_EQ(P().VerifyBytes(ctx, "imported data", sig), 0u);
  P().Uninitialize(ctx);
  // A key that does not belong to the certificate is refused.
  Stranger();
  RunResult bad = H().Tool("import Wrong --key " + Quote(H().ProfileDir("stranger") + "/key.pem") +
                           " --cert " + Quote(c));
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.out.find("does not belong"), std::string::npos) << bad.out;
}

TEST(Spki1Tool, ImportPkcs12) {
  std::string k = H().Scratch("p12.key"), c = H().Scratch("p12.pem"), ca = H().Scratch("ca.pem"),
              p = H().Scratch("bundle.p12");
  Stranger();
  RunResult gen =
      spki1test::Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                     Quote(k) + " && openssl req -new -x509 -key " + Quote(k) +
                     " -subj /CN=FromP12 -days 5" + kSigningCertificate + " -out " + Quote(c) +
                     " && cp " + Quote(H().ProfileDir("stranger") + "/cert.pem") + " " + Quote(ca) +
                     " && openssl pkcs12 -export -inkey " + Quote(k) + " -in " + Quote(c) +
                     " -certfile " + Quote(ca) + " -passout pass:p12pin -out " + Quote(p));
  ASSERT_EQ(gen.code, 0) << gen.out;
  EXPECT_EQ(H().Tool("import FromP12 --p12 " + Quote(p) + " --pin wrong").code, 1);
  RunResult r = H().Tool("import FromP12 --p12 " + Quote(p) + " --pin p12pin");
  ASSERT_EQ(r.code, 0) << r.out;
  std::string dir = H().ProfileDir("fromp12");
  EXPECT_NE(ReadAll(dir + "/key.pem").find("ENCRYPTED"), std::string::npos);
  // The further certificate of the file is trusted: Stranger's signatures verify.
  VCERT_CONTEXT stranger = P().Open(Stranger());
  std::string sig = P().SignBytes(stranger, "from afar");
  P().Uninitialize(stranger);
  setenv("SPKI1_PIN", "p12pin", 1);
  VCERT_CONTEXT ctx = P().Open("FromP12");
  unsetenv("SPKI1_PIN");
  EXPECT_EQ(P().VerifyBytes(ctx, "from afar", sig), 0u);
  EXPECT_EQ(P().VerifyBytes(ctx, "x", P().SignBytes(ctx, "x")), 0u);
  P().Uninitialize(ctx);
}

TEST(Spki1Tool, TrustAddsCertificates) {
  Gost256();
  Stranger();
  std::string pem = H().Scratch("two.pem");
  WriteAll(pem, ReadAll(H().ProfileDir("gost256") + "/cert.pem") +
                    ReadAll(H().ProfileDir("stranger") + "/cert.pem"));
  H().Ensure("Hub", "--alg gost2012-512");
  RunResult r = H().Tool("trust HUB " + Quote(pem));
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("CN=Gost256"), std::string::npos);
  EXPECT_NE(r.out.find("CN=Stranger"), std::string::npos);
  EXPECT_NE(H().Tool("list").out.find("hub\tgost2012-512\tCN=Hub"), std::string::npos);
  VCERT_CONTEXT hub = P().Open("Hub");
  for (const char* signer : {Gost256(), Stranger()}) {
    VCERT_CONTEXT s = P().Open(signer);
    EXPECT_EQ(P().VerifyBytes(hub, "m", P().SignBytes(s, "m")), 0u) << signer;
    P().Uninitialize(s);
  }
  P().Uninitialize(hub);
}

TEST(Spki1Tool, CertificatesIssuedByACa) {
  // A CA and a leaf it issued (GOST, made by openssl); the leaf becomes profile Issued.
  std::string ck = H().Scratch("ca.key"), cc = H().Scratch("ca.crt"), lk = H().Scratch("leaf.key"),
              lr = H().Scratch("leaf.csr"), lc = H().Scratch("leaf.crt");
  RunResult gen = spki1test::Run(
      "openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out " + Quote(ck) +
      " && openssl req -engine gost -new -x509 -key " + Quote(ck) +
      " -subj /CN=BankCA -days 5 -out " + Quote(cc) +
      " && openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out " +
      Quote(lk) + " && openssl req -engine gost -new -key " + Quote(lk) + " -subj /CN=Clerk -out " +
      Quote(lr) + " && openssl x509 -engine gost -req -in " + Quote(lr) + " -CA " + Quote(cc) +
      " -CAkey " + Quote(ck) + " -CAcreateserial -days 5 -out " + Quote(lc));
  ASSERT_EQ(gen.code, 0) << gen.out;
  ASSERT_EQ(H().Tool("import Issued --key " + Quote(lk) + " --cert " + Quote(lc)).code, 0);
  VCERT_CONTEXT issued = P().Open("Issued");
  std::string sig = P().SignBytes(issued, "order");
  // Its own profile trusts its own certificate, though it is not self-signed.
  EXPECT_EQ(P().VerifyBytes(issued, "order", sig), 0u);
  P().Uninitialize(issued);
  // A profile that trusts the CA accepts the leaf's signature through the chain.
  H().Ensure("TrustsCa", "--alg gost2012-256");
  ASSERT_EQ(H().Tool("trust TrustsCa " + Quote(cc)).code, 0);
  VCERT_CONTEXT viaCa = P().Open("TrustsCa");
  EXPECT_EQ(P().VerifyBytes(viaCa, "order", sig), 0u);
  P().Uninitialize(viaCa);
  // One that trusts only the leaf accepts it as well; one that trusts neither does not.
  H().Ensure("TrustsLeaf", "--alg gost2012-256");
  ASSERT_EQ(H().Tool("trust TrustsLeaf " + Quote(lc)).code, 0);
  VCERT_CONTEXT viaLeaf = P().Open("TrustsLeaf");
  EXPECT_EQ(P().VerifyBytes(viaLeaf, "order", sig), 0u);
  P().Uninitialize(viaLeaf);
  VCERT_CONTEXT none = P().Open(Gost256());
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(none, "order", sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_UNTRUSTED});
  P().Uninitialize(none);
}

}  // namespace
