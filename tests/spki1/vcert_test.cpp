// The VCERT_ entry points of libspki1.so, called as the binding calls them (dlopen).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "spki1_test_support.h"

using namespace spki1test;

namespace {

const Provider& P() { return Provider::Get(); }

struct RoundTrip : ::testing::TestWithParam<std::string> {};

const char* MakeProfile(const std::string& alg) {
  if (alg == "Gost256") return Gost256();
  if (alg == "Gost512") return Gost512();
  if (alg == "Rsa") return Rsa();
  return Ecdsa();
}

TEST_P(RoundTrip, SignsAndVerifies) {
  const char* name = MakeProfile(GetParam());
  VCERT_CONTEXT ctx = P().Open(name);
  ASSERT_NE(ctx, 0u);
  std::string data = Message();
  std::string sig = P().SignBytes(ctx, data);
  ASSERT_FALSE(sig.empty());
  EXPECT_EQ(static_cast<unsigned char>(sig[0]), 0x30);  // DER SEQUENCE
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(ctx, data, sig, &signers), 0u);
  EXPECT_EQ(signers, std::vector<uint32_t>{0});
  // One changed byte: the message digest no longer matches.
  data[1500] ^= 1;
  EXPECT_EQ(P().VerifyBytes(ctx, data, sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_DIGEST_MISMATCH});
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, RoundTrip,
                         ::testing::Values("Gost256", "Gost512", "Rsa", "Ecdsa"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

TEST(Vcert, SignatureUsesTheDigestOfTheKey) {
  // The DER holds the digest algorithm's OID: GOST R 34.11-2012 256 and 512 bit.
  const std::string oid256("\x06\x08\x2a\x85\x03\x07\x01\x01\x02\x02", 10);
  const std::string oid512("\x06\x08\x2a\x85\x03\x07\x01\x01\x02\x03", 10);
  VCERT_CONTEXT a = P().Open(Gost256());
  VCERT_CONTEXT b = P().Open(Gost512());
  std::string s256 = P().SignBytes(a, "x");
  std::string s512 = P().SignBytes(b, "x");
  EXPECT_NE(s256.find(oid256), std::string::npos);
  EXPECT_EQ(s256.find(oid512), std::string::npos);
  EXPECT_NE(s512.find(oid512), std::string::npos);
  P().Uninitialize(a);
  P().Uninitialize(b);
}

TEST(Vcert, EmptyDataWithNonNullAddress) {
  VCERT_CONTEXT ctx = P().Open(Gost256());
  std::string empty;
  std::string sig = P().SignBytes(ctx, empty);  // length 0, address of an empty text
  ASSERT_FALSE(sig.empty());
  EXPECT_EQ(P().VerifyBytes(ctx, empty, sig), 0u);
  EXPECT_EQ(P().VerifyBytes(ctx, "a", sig), VCERT_STATUS_SIGNERS_FAILED);
  P().Uninitialize(ctx);
}

TEST(Vcert, ProfileNamesIgnoreCase) {
  Gost256();
  VCERT_CONTEXT ctx = P().Open("GOST256");
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
  ctx = P().Open("gOsT256");
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
}

TEST(Vcert, CyrillicProfileNameIgnoresCase) {
  Home::Get().Ensure("Банк", "--alg gost2012-256");
  VCERT_CONTEXT ctx = P().Open("БАНК");
  EXPECT_NE(ctx, 0u);
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
}

TEST(Vcert, UnknownProfile) {
  Home::Get();
  VCERT_CONTEXT ctx = 77;
  EXPECT_EQ(P().Initialize("NoSuchProfile", VCERT_FLAGS_DEFAULT, &ctx), SPKI1_E_PROFILE_NOT_FOUND);
  EXPECT_EQ(ctx, 0u);
  EXPECT_EQ(P().Initialize("", VCERT_FLAGS_DEFAULT, &ctx), SPKI1_E_PROFILE_NOT_FOUND);
  EXPECT_EQ(P().Initialize("../etc", VCERT_FLAGS_DEFAULT, &ctx), SPKI1_E_PROFILE_NOT_FOUND);
  EXPECT_EQ(P().Initialize(nullptr, VCERT_FLAGS_DEFAULT, &ctx), SPKI1_E_INVALID_ARGUMENT);
  EXPECT_EQ(P().Initialize("x", VCERT_FLAGS_DEFAULT, nullptr), SPKI1_E_INVALID_ARGUMENT);
}

TEST(Vcert, DamagedProfile) {
  Home::Get().Ensure("Damaged", "--alg gost2012-256");
  WriteAll(Home::Get().ProfileDir("damaged") + "/key.pem", "not a key\n");
  VCERT_CONTEXT ctx = 0;
  EXPECT_EQ(P().Initialize("Damaged", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx),
            SPKI1_E_PROFILE_DAMAGED);
  EXPECT_EQ(ctx, 0u);
}

TEST(Vcert, KeyOfAnotherProfile) {
  Home::Get().Ensure("Mismatch", "--alg gost2012-256");
  Stranger();
  std::string other = ReadAll(Home::Get().ProfileDir("stranger") + "/key.pem");
  WriteAll(Home::Get().ProfileDir("mismatch") + "/key.pem", other);
  VCERT_CONTEXT ctx = 0;
  EXPECT_EQ(P().Initialize("Mismatch", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx),
            SPKI1_E_KEY_MISMATCH);
}

// An open keeps the key and certificates it read, for the next open of the same files on
// the thread: what the files hold at each open still decides (trust: UntrustedUntilTrusted),
// and a PIN is still asked every time.
TEST(Vcert, EveryOpenReadsTheProfileFilesAsTheyAreNow) {
  Home::Get().Ensure("Rekeyed", "--alg gost2012-256");
  const std::string keyFile = ProfileFile("Rekeyed", "key.pem");
  const std::string certFile = ProfileFile("Rekeyed", "cert.pem");
  const std::string key = ReadAll(keyFile), cert = ReadAll(certFile);
  P().Uninitialize(P().Open("Rekeyed"));
  const struct {
    std::string file, content;
    VCERT_STATUS status;
  } changes[] = {
      {keyFile, ReadAll(ProfileFile(Stranger(), "key.pem")), SPKI1_E_KEY_MISMATCH},
      {keyFile, "not a key\n", SPKI1_E_PROFILE_DAMAGED},
      {keyFile, key, 0u},
      {certFile, ReadAll(ProfileFile(Stranger(), "cert.pem")), SPKI1_E_KEY_MISMATCH},
      {certFile, cert, 0u},
  };
  for (const auto& change : changes) {
    WriteAll(change.file, change.content);
    VCERT_CONTEXT ctx = 0;
    EXPECT_EQ(P().Initialize("Rekeyed", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx),
              change.status);
    if (ctx) EXPECT_EQ(P().VerifyBytes(ctx, "m", P().SignBytes(ctx, "m")), 0u);
    if (ctx) P().Uninitialize(ctx);
  }
  setenv("SPKI1_PIN", "1234", 1);
  P().Uninitialize(P().Open(Locked()));
  unsetenv("SPKI1_PIN");
  VCERT_CONTEXT ctx = 0;
  EXPECT_EQ(P().Initialize(Locked(), VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx),
            SPKI1_E_PIN_REQUIRED);
}

TEST(Vcert, DoubleUninitializeAndUnknownHandles) {
  VCERT_CONTEXT ctx = P().Open(Gost256());
  ASSERT_NE(ctx, 0u);
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
  EXPECT_EQ(P().Uninitialize(ctx), SPKI1_E_INVALID_CONTEXT);
  EXPECT_EQ(P().Uninitialize(0), SPKI1_E_INVALID_CONTEXT);
  EXPECT_EQ(P().Uninitialize(0xFFFFFFFFu), SPKI1_E_INVALID_CONTEXT);
  EXPECT_EQ(P().Uninitialize(12345), SPKI1_E_INVALID_CONTEXT);
  // A stale handle does not reach the context that took over its slot.
  VCERT_CONTEXT again = P().Open(Gost256());
  EXPECT_NE(again, ctx);
  VCERT_STATUS st = 0;
  P().SignBytes(ctx, "data", &st);
  EXPECT_EQ(st, SPKI1_E_INVALID_CONTEXT);
  EXPECT_EQ(P().VerifyBytes(ctx, "data", "0"), SPKI1_E_INVALID_CONTEXT);
  EXPECT_EQ(P().Uninitialize(ctx), SPKI1_E_INVALID_CONTEXT);
  EXPECT_EQ(P().Uninitialize(again), 0u);
}

TEST(Vcert, SeveralContextsAtOnce) {
  std::vector<VCERT_CONTEXT> ctxs;
  for (int i = 0; i < 20; ++i) ctxs.push_back(P().Open(i % 2 ? Gost256() : Gost512()));
  for (size_t i = 0; i < ctxs.size(); ++i) {
    for (size_t j = i + 1; j < ctxs.size(); ++j) EXPECT_NE(ctxs[i], ctxs[j]);
  }
  for (VCERT_CONTEXT c : ctxs) EXPECT_EQ(P().VerifyBytes(c, "m", P().SignBytes(c, "m")), 0u);
  for (VCERT_CONTEXT c : ctxs) EXPECT_EQ(P().Uninitialize(c), 0u);
}

TEST(Vcert, BadArguments) {
  VCERT_CONTEXT ctx = P().Open(Gost256());
  VCERT_SIGN_PARAMS params{0, 0};
  VCERT_BLOB sig{5, reinterpret_cast<uint8_t*>(1)};
  VCERT_BLOB nulldata{3, nullptr};
  EXPECT_EQ(P().CmsBlkDetSignMem(ctx, &params, &nulldata, nullptr, &sig), SPKI1_E_INVALID_ARGUMENT);
  EXPECT_EQ(sig.cbData, 0u);
  EXPECT_EQ(sig.pbData, nullptr);
  EXPECT_EQ(P().CmsBlkDetSignMem(ctx, &params, nullptr, nullptr, &sig), SPKI1_E_INVALID_ARGUMENT);
  VCERT_BLOB data{0, nullptr};  // length 0 with a null address is accepted too
  EXPECT_EQ(P().CmsBlkDetSignMem(ctx, &params, &data, nullptr, nullptr), SPKI1_E_INVALID_ARGUMENT);
  EXPECT_EQ(P().CmsBlkDetSignMem(ctx, &params, &data, nullptr, &sig), 0u);
  P().FreeMem(ctx, sig.pbData);
  VCERT_VERIFY_PARAMS vp{};
  EXPECT_EQ(P().CmsBlkDetVerifyMem(ctx, &vp, &data, &data, nullptr, nullptr),
            SPKI1_E_INVALID_ARGUMENT);
  P().FreeMem(ctx, nullptr);
  P().FreeVerifyResult(ctx, nullptr);
  P().Uninitialize(ctx);
}

TEST(Vcert, UnreadableSignatures) {
  VCERT_CONTEXT ctx = P().Open(Gost256());
  EXPECT_EQ(P().VerifyBytes(ctx, "data", ""), SPKI1_E_CMS_MALFORMED);
  EXPECT_EQ(P().VerifyBytes(ctx, "data", "garbage"), SPKI1_E_CMS_MALFORMED);
  std::string sig = P().SignBytes(ctx, "data");
  EXPECT_EQ(P().VerifyBytes(ctx, "data", sig.substr(0, sig.size() - 10)), SPKI1_E_CMS_MALFORMED);
  EXPECT_EQ(P().VerifyBytes(ctx, "data", sig + "x"), SPKI1_E_CMS_MALFORMED);
  // ContentInfo { id-data, [0] OCTET STRING "hi" }: CMS, but no signatures.
  const std::string data("\x30\x11\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01\xa0\x04\x04\x02hi",
                         19);
  EXPECT_EQ(P().VerifyBytes(ctx, "hi", data), SPKI1_E_CMS_NOT_SIGNED);
  // A flipped bit inside the signature value.
  std::string bad = sig;
  bad[bad.size() - 5] ^= 0x01;
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(ctx, "data", bad, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_BAD_SIGNATURE});
  P().Uninitialize(ctx);
}

TEST(Vcert, UntrustedUntilTrusted) {
  VCERT_CONTEXT stranger = P().Open(Stranger());
  std::string sig = P().SignBytes(stranger, "payment");
  P().Uninitialize(stranger);

  Home::Get().Ensure("Receiver", "--alg gost2012-256");
  VCERT_CONTEXT receiver = P().Open("Receiver");
  std::vector<uint32_t> signers;
  EXPECT_EQ(P().VerifyBytes(receiver, "payment", sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_UNTRUSTED});
  P().Uninitialize(receiver);

  std::string pem = Home::Get().Scratch("stranger.pem");
  ASSERT_EQ(Home::Get().Tool("export-cert Stranger > " + Quote(pem)).code, 0);
  ASSERT_EQ(Home::Get().Tool("trust receiver " + Quote(pem)).code, 0);
  receiver = P().Open("Receiver");  // trust is read when a context opens
  EXPECT_EQ(P().VerifyBytes(receiver, "payment", sig, &signers), 0u);
  EXPECT_EQ(P().VerifyBytes(receiver, "paymenT", sig, &signers), VCERT_STATUS_SIGNERS_FAILED);
  EXPECT_EQ(signers, std::vector<uint32_t>{SPKI1_SIGNER_DIGEST_MISMATCH});
  P().Uninitialize(receiver);
}

// The text the binding would show for a status, asked right after the failing call.
std::string TextOf(VCERT_STATUS status) {
  char buf[1024];
  const char* t = P().GetErrorText(status, buf, sizeof buf);
  return t ? t : "";
}

TEST(Vcert, ExpiredAndNotYetValidCertificates) {
  struct Case {
    const char* name;
    const char* createArgs;
    VCERT_STATUS signStatus;
    uint32_t signerStatus;
  };
  const Case cases[] = {
      {"Expired", "--start-days -10 --days 2", SPKI1_E_CERT_EXPIRED, SPKI1_SIGNER_CERT_EXPIRED},
      {"Future", "--start-days 5", SPKI1_E_CERT_NOT_YET_VALID, SPKI1_SIGNER_CERT_NOT_YET_VALID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Home::Get().Ensure(c.name, std::string("--alg gost2012-256 ") + c.createArgs);
    VCERT_CONTEXT ctx = P().Open(c.name);  // the profile still opens, to verify with
    // Signing is refused: the signature would be rejected by whoever checks it.
    VCERT_STATUS st = 0;
    EXPECT_EQ(P().SignBytes(ctx, "d", &st), "");
    EXPECT_EQ(st, c.signStatus);
    std::string text = TextOf(st);
    EXPECT_NE(text.find(ProfileFile(c.name, "cert.pem")), std::string::npos) << text;
    EXPECT_NE(text.find(" UTC)"), std::string::npos) << text;  // with the date concerned
    // A signature made elsewhere with that certificate names the reason per signer.
    std::vector<uint32_t> signers;
    EXPECT_EQ(P().VerifyBytes(ctx, "d", OpensslSigns({c.name}, "d"), &signers),
              VCERT_STATUS_SIGNERS_FAILED);
    EXPECT_EQ(signers, std::vector<uint32_t>{c.signerStatus});
    P().Uninitialize(ctx);
  }
  RunResult list = Home::Get().Tool("list");
  EXPECT_NE(list.out.find("\tCANNOT SIGN: " + ProfileFile("Expired", "cert.pem") + " expired"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("\tCANNOT SIGN: " + ProfileFile("Future", "cert.pem") + " is not valid"),
            std::string::npos)
      << list.out;
}

// Each way a profile's files can be wrong has its own status, and the text names the file.
TEST(Vcert, KeyStoreFaultsNameTheFileAndTheReason) {
  struct Case {
    const char* name;
    const char* breakIt;  // shell command run inside the profile's folder
    VCERT_STATUS status;
    const char* file;  // named in the provider's text and in `spki1-tool list`
  };
  const Case cases[] = {
      {"ks-no-key", "rm key.pem", SPKI1_E_FILE_MISSING, "key.pem"},
      {"ks-no-cert", "rm cert.pem", SPKI1_E_FILE_MISSING, "cert.pem"},
      // A directory in a file's place cannot be read, also by root.
      {"ks-key-unreadable", "rm key.pem && mkdir key.pem", SPKI1_E_FILE_UNREADABLE, "key.pem"},
      {"ks-conf-unreadable", "rm profile.conf && mkdir profile.conf", SPKI1_E_FILE_UNREADABLE,
       "profile.conf"},
      {"ks-key-corrupt", "echo garbage > key.pem", SPKI1_E_PROFILE_DAMAGED, "key.pem"},
      {"ks-cert-corrupt", "echo garbage > cert.pem", SPKI1_E_PROFILE_DAMAGED, "cert.pem"},
      {"ks-mismatch", "cp ../stranger/key.pem key.pem", SPKI1_E_KEY_MISMATCH, "key.pem"},
  };
  Stranger();
  const std::string good = ProfileFile(Gost256(), "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = Home::Get().ProfileDir(c.name);
    ASSERT_EQ(spki1test::Run("rm -rf " + Quote(dir) + " && cp -r " + Quote(good) + " " +
                             Quote(dir) + " && cd " + Quote(dir) + " && " + c.breakIt)
                  .code,
              0);
    VCERT_CONTEXT ctx = 5;
    VCERT_STATUS st = P().Initialize(c.name, VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx);
    EXPECT_EQ(st, c.status) << std::hex << st;
    EXPECT_EQ(ctx, 0u);
    std::string text = TextOf(st);
    EXPECT_NE(text.find(dir + "/" + c.file), std::string::npos) << text;
  }
  // The tool's list marks each of them, naming the file.
  RunResult list = Home::Get().Tool("list");
  EXPECT_EQ(list.code, 0);
  for (const Case& c : cases) {
    size_t line = list.out.find(std::string(c.name) + "\tBROKEN: ");
    ASSERT_NE(line, std::string::npos) << c.name << "\n" << list.out;
    std::string rest = list.out.substr(line, list.out.find('\n', line) - line);
    EXPECT_NE(rest.find(c.file), std::string::npos) << rest;
  }
  EXPECT_NE(list.out.find("gost256\tgost2012-256"), std::string::npos) << list.out;
  // The file's name goes with the failure it belongs to, not with a later one.
  EXPECT_EQ(P().Uninitialize(0), SPKI1_E_INVALID_CONTEXT);
  EXPECT_EQ(TextOf(SPKI1_E_INVALID_CONTEXT).find('/'), std::string::npos);
}

TEST(Vcert, ErrorTextsInRussian) {
  const uint32_t codes[] = {0,
                            SPKI1_E_NOT_SUPPORTED,
                            SPKI1_E_INVALID_ARGUMENT,
                            SPKI1_E_INVALID_CONTEXT,
                            SPKI1_E_TOO_MANY_CONTEXTS,
                            SPKI1_E_NO_MEMORY,
                            SPKI1_E_ENGINE,
                            SPKI1_E_INTERNAL,
                            SPKI1_E_PROFILE_NOT_FOUND,
                            SPKI1_E_PROFILE_DAMAGED,
                            SPKI1_E_KEY_MISMATCH,
                            SPKI1_E_PIN_REQUIRED,
                            SPKI1_E_WRONG_PIN,
                            SPKI1_E_NO_TERMINAL,
                            SPKI1_E_PIN_CANCELLED,
                            SPKI1_E_UNSUPPORTED_KEY,
                            SPKI1_E_SIGN_FAILED,
                            SPKI1_E_FILE_MISSING,
                            SPKI1_E_FILE_UNREADABLE,
                            SPKI1_E_CERT_EXPIRED,
                            SPKI1_E_CERT_NOT_YET_VALID,
                            SPKI1_E_SIGNERS_FAILED,
                            SPKI1_E_CMS_MALFORMED,
                            SPKI1_E_CMS_NOT_SIGNED,
                            SPKI1_SIGNER_DIGEST_MISMATCH,
                            SPKI1_SIGNER_BAD_SIGNATURE,
                            SPKI1_SIGNER_UNTRUSTED,
                            SPKI1_SIGNER_CERT_EXPIRED,
                            SPKI1_SIGNER_CERT_NOT_YET_VALID,
                            SPKI1_SIGNER_CERT_NOT_FOUND,
                            SPKI1_SIGNER_UNSUPPORTED_ALG};
  std::vector<std::string> seen;
  for (uint32_t c : codes) {
    char buf[1024];
    const char* t = P().GetErrorText(c, buf, sizeof buf);
    ASSERT_NE(t, nullptr) << std::hex << c;
    std::string text(t);
    EXPECT_NE(text.find("\xD0"), std::string::npos) << text;  // Cyrillic in UTF-8
    for (const std::string& s : seen) EXPECT_NE(s, text);
    seen.push_back(text);
  }
  char buf[1024];
  EXPECT_EQ(P().GetErrorText(42, buf, sizeof buf), nullptr);
  EXPECT_EQ(P().GetErrorText(0xE07000FFu, buf, sizeof buf), nullptr);
  // A short buffer gets whole characters only, zero-terminated.
  char small[6];
  const char* t = P().GetErrorText(SPKI1_E_WRONG_PIN, small, sizeof small);
  ASSERT_EQ(t, small);
  EXPECT_EQ(std::string(small), "\xD0\x9D\xD0\xB5");  // "Не"
}

TEST(Vcert, LookedUpEntryPointsAreNotSupported) {
  ASSERT_NE(P().AllocMem, nullptr);
  EXPECT_EQ(P().AllocMem(0, 16), nullptr);
  EXPECT_EQ(P().ReallocMem(0, nullptr, 16), nullptr);
  VCERT_CONTEXT ctx = 5;
  EXPECT_EQ(P().InitializeEx("Gost256", 0, nullptr, &ctx), SPKI1_E_NOT_SUPPORTED);
  EXPECT_EQ(ctx, 0u);
  ctx = 5;
  EXPECT_EQ(P().InitMinimal(0, &ctx), SPKI1_E_NOT_SUPPORTED);
  EXPECT_EQ(ctx, 0u);
}

// ---- PIN-protected keys ---------------------------------------------------------

// Runs fn in a child process without a controlling terminal; returns its exit status.
template <typename F>
int InChildWithoutTerminal(F fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    _exit(fn());
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 99;
}

TEST(VcertPin, SilentWithoutPinFails) {
  Locked();
  unsetenv("SPKI1_PIN");
  VCERT_CONTEXT ctx = 1;
  EXPECT_EQ(P().Initialize("Locked", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx),
            SPKI1_E_PIN_REQUIRED);
  EXPECT_EQ(ctx, 0u);
}

TEST(VcertPin, SilentWithEnvironmentPin) {
  Locked();
  setenv("SPKI1_PIN", "1234", 1);
  VCERT_CONTEXT ctx = P().Open("Locked", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT);
  EXPECT_EQ(P().VerifyBytes(ctx, "d", P().SignBytes(ctx, "d")), 0u);
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
  setenv("SPKI1_PIN", "4321", 1);
  EXPECT_EQ(P().Initialize("Locked", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx),
            SPKI1_E_WRONG_PIN);
  // Loud mode takes the configured PIN as well, without asking.
  EXPECT_EQ(P().Initialize("Locked", VCERT_FLAGS_DEFAULT, &ctx), SPKI1_E_WRONG_PIN);
  unsetenv("SPKI1_PIN");
}

TEST(VcertPin, PinFromProfileConfiguration) {
  Home::Get().Ensure("Configured", "--alg gost2012-512 --pin s3cret --save-pin");
  unsetenv("SPKI1_PIN");
  VCERT_CONTEXT ctx = P().Open("Configured", VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT);
  EXPECT_NE(ctx, 0u);
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
  std::string key = ReadAll(Home::Get().ProfileDir("configured") + "/key.pem");
  EXPECT_NE(key.find("ENCRYPTED PRIVATE KEY"), std::string::npos);
}

TEST(VcertPin, LoudWithoutTerminalFailsCleanly) {
  Locked();
  unsetenv("SPKI1_PIN");
  const Provider& p = P();
  int rc = InChildWithoutTerminal([&] {
    VCERT_CONTEXT ctx = 1;
    VCERT_STATUS st = p.Initialize("Locked", VCERT_FLAGS_DEFAULT, &ctx);
    return st == SPKI1_E_NO_TERMINAL && ctx == 0 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
}

// Loud mode with a terminal: the PIN is asked on the controlling terminal, echo off.
// answer: what is typed; returns the status of Initialize and what the terminal showed.
std::pair<int, std::string> LoudOnTerminal(const std::string& answer) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  grantpt(master);
  unlockpt(master);
  std::string slave = ptsname(master);
  const Provider& p = P();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
    ioctl(fd, TIOCSCTTY, 0);
    VCERT_CONTEXT ctx = 0;
    VCERT_STATUS st = p.Initialize("Locked", VCERT_FLAGS_DEFAULT, &ctx);
    if (st == 0) st = p.Uninitialize(ctx);
    _exit(st == 0 ? 0 : st == SPKI1_E_WRONG_PIN ? 3 : st == SPKI1_E_PIN_CANCELLED ? 4 : 5);
  }
  std::string shown;
  char buf[512];
  // Answer each prompt once it shows (the prompt flushes earlier input); stop when the
  // child closes the terminal or after 20 s of silence.
  size_t answered = 0;
  while (true) {
    struct pollfd pfd {
      master, POLLIN, 0
    };
    if (poll(&pfd, 1, 20000) <= 0) break;
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    shown.append(buf, static_cast<size_t>(n));
    size_t prompts = 0;
    for (size_t at = shown.find("PIN"); at != std::string::npos; at = shown.find("PIN", at + 1)) {
      ++prompts;
    }
    for (; answered < prompts; ++answered) {
      const std::string typed = answer.empty() ? std::string("\x04") : answer;
      (void)!write(master, typed.data(), typed.size());
    }
  }
  int st = 0;
  kill(pid, SIGKILL);  // no-op when it has finished
  waitpid(pid, &st, 0);
  close(master);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : 99, shown};
}

TEST(VcertPin, LoudAsksOnTheTerminal) {
  Locked();
  unsetenv("SPKI1_PIN");
  auto [rc, shown] = LoudOnTerminal("1234\n");
  EXPECT_EQ(rc, 0) << shown;
  EXPECT_NE(shown.find("PIN"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("1234"), std::string::npos) << "echo must be off: " << shown;
}

TEST(VcertPin, LoudWrongPinThreeTimes) {
  Locked();
  unsetenv("SPKI1_PIN");
  auto [rc, shown] = LoudOnTerminal("0000\n");
  EXPECT_EQ(rc, 3) << shown;
}

TEST(VcertPin, LoudEmptyInputCancels) {
  Locked();
  unsetenv("SPKI1_PIN");
  auto [rc, shown] = LoudOnTerminal("");
  EXPECT_EQ(rc, 4) << shown;
}

// ---- threads and volume -----------------------------------------------------------

TEST(VcertThreads, TwoThreadsSignWithTheirOwnContexts) {
  const char* names[2] = {Gost256(), Gost512()};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      VCERT_CONTEXT ctx = 0;
      if (P().Initialize(names[t], VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT, &ctx) != 0) {
        ++failures;
        return;
      }
      for (int i = 0; i < 200; ++i) {
        std::string data = Message(100 + i);
        VCERT_STATUS st = 0;
        std::string sig = P().SignBytes(ctx, data, &st);
        if (st != 0 || P().VerifyBytes(ctx, data, sig) != 0) ++failures;
      }
      if (P().Uninitialize(ctx) != 0) ++failures;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(VcertThreads, OneContextSharedByThreads) {
  VCERT_CONTEXT ctx = P().Open(Gost256());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        std::string data = Message(50 + i);
        VCERT_STATUS st = 0;
        std::string sig = P().SignBytes(ctx, data, &st);
        if (st != 0 || P().VerifyBytes(ctx, data, sig) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(P().Uninitialize(ctx), 0u);
}

TEST(VcertVolume, ThousandsOfCallsOpenAndClose) {
  // Under the sanitizer build LeakSanitizer checks at exit that nothing of this stayed.
  std::string data = Message();
  VCERT_CONTEXT ctx = P().Open(Gost256());
  std::string sig;
  for (int i = 0; i < 2000; ++i) {
    sig = P().SignBytes(ctx, data);
    ASSERT_EQ(P().VerifyBytes(ctx, data, sig), 0u);
  }
  data[0] ^= 1;
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(P().VerifyBytes(ctx, data, sig), VCERT_STATUS_SIGNERS_FAILED);
    ASSERT_EQ(P().VerifyBytes(ctx, data, "junk"), SPKI1_E_CMS_MALFORMED);
  }
  P().Uninitialize(ctx);
  for (int i = 0; i < 200; ++i) {
    VCERT_CONTEXT c = P().Open(i % 2 ? Gost256() : Rsa());
    ASSERT_EQ(P().Uninitialize(c), 0u);
  }
}

}  // namespace
