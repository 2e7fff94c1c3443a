// spki1-tool: manages the key profiles of the spki1 crypto provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "lumo_version.h"
#include "spki1_core.h"
#include "spki1_status.h"

using namespace spki1;

namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "Usage: spki1-tool COMMAND [ARGS]\n"
    "Manages the key profiles of the spki1 crypto provider (libspki1.so).\n"
    "\n"
    "  spki1-tool create NAME [--alg gost2012-256|gost2012-512|rsa|ecdsa] [--subject DN]\n"
    "                    [--pin PIN] [--save-pin] [--days N] [--start-days N] [--bits N] "
    "[--force]\n"
    "      a fresh key and a self-signed certificate (default gost2012-256, GOST R 34.10-2012\n"
    "      with parameter set A; rsa: 2048 bits or --bits; ecdsa: P-256). DN as\n"
    "      \"CN=Name,O=Bank\" or \"/CN=Name/O=Bank\" (default CN=NAME). --pin encrypts the key\n"
    "      (AES-256); --save-pin also writes the PIN into profile.conf. The certificate is\n"
    "      valid for N days (default 3650) from now plus --start-days (may be negative).\n"
    "  spki1-tool import NAME --key KEY.pem --cert CERT.pem [--pin PIN] [--force]\n"
    "  spki1-tool import NAME --p12 FILE.p12 [--pin PIN] [--force]\n"
    "      takes an existing key and certificate. --pin opens an encrypted source key or the\n"
    "      PKCS#12 file and encrypts the stored key; further certificates of a PKCS#12 file\n"
    "      become trusted certificates of the profile.\n"
    "  spki1-tool import NAME --cert CERT.pem [--force]\n"
    "      a verify-only profile: the certificate(s) of CERT.pem and no key. It opens without\n"
    "      a PIN and checks signatures; signing with it is refused (E070001E). The way to\n"
    "      set up a receiving host.\n"
    "  spki1-tool trust NAME CERT.pem\n"
    "      the profile also trusts signatures made with the certificate(s) in CERT.pem.\n"
    "  spki1-tool crl NAME FILE\n"
    "      adds the certificate revocation list(s) in FILE (PEM or DER) to the profile; each\n"
    "      must be signed by a certificate the profile holds. It replaces the profile's CRL\n"
    "      of the same issuer.\n"
    "  spki1-tool export-cert NAME\n"
    "      prints the profile's certificate as PEM on standard output.\n"
    "  spki1-tool list\n"
    "      one line per profile: name, algorithm, subject, expiry, PIN (or VERIFY ONLY),\n"
    "      trusted count, CRL count (\"(required)\" with crl=require); CANNOT SIGN when\n"
    "      the certificate is outside its validity period, SIGNATURES REFUSED when\n"
    "      receivers refuse its signer (a CA certificate, key usage), and BROKEN with the\n"
    "      file and the reason for a profile the provider cannot open. Below a profile,\n"
    "      one line per CRL with its issuer and next update (EXPIRED when past).\n"
    "  spki1-tool --help | --version\n"
    "      this text, or the version.\n"
    "\n"
    "Profiles live in $SPKI1_HOME (default ~/.spki1), one folder per profile named by the\n"
    "lower-cased profile name: key.pem, cert.pem, trusted/*.pem, crl/*, profile.conf\n"
    "(pin=..., key=none, crl=require, signer_eku=OID,...). Names are matched without\n"
    "regard to case. The provider opens an encrypted key with the PIN in profile.conf,\n"
    "else $SPKI1_PIN, else (not in silent mode) asks on the terminal.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage.\n";

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--x" -> value ("" for flags)
};

struct UsageError {
  std::string what;
};
struct Failure {
  std::string what;
};

Args Parse(const std::vector<std::string>& argv, const std::vector<std::string>& valued,
           const std::vector<std::string>& flags) {
  Args a;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& s = argv[i];
    if (s.size() > 2 && s.compare(0, 2, "--") == 0) {
      std::string name = s, value;
      bool inlineValue = false;
      if (size_t eq = s.find('='); eq != std::string::npos) {
        name = s.substr(0, eq);
        value = s.substr(eq + 1);
        inlineValue = true;
      }
      bool isValued = std::find(valued.begin(), valued.end(), name) != valued.end();
      bool isFlag = std::find(flags.begin(), flags.end(), name) != flags.end();
      if (isValued) {
        if (!inlineValue) {
          if (i + 1 >= argv.size()) throw UsageError{"option " + name + " needs a value"};
          value = argv[++i];
        }
        a.options[name] = value;
      } else if (isFlag && !inlineValue) {
        a.options[name] = "";
      } else {
        throw UsageError{"unknown option " + s};
      }
    } else {
      a.positional.push_back(s);
    }
  }
  return a;
}

bool Has(const Args& a, const char* o) { return a.options.count(o) != 0; }
std::string Get(const Args& a, const char* o, const std::string& def = "") {
  auto it = a.options.find(o);
  return it == a.options.end() ? def : it->second;
}

long ToLong(const std::string& s, const char* what) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end) throw UsageError{std::string(what) + " must be a number: " + s};
  return v;
}

std::string Need(const Args& a, size_t count, const char* usage) {
  if (a.positional.size() != count) throw UsageError{std::string("usage: ") + usage};
  return a.positional[0];
}

void CheckName(const std::string& name) {
  if (!ValidProfileName(name)) throw UsageError{"invalid profile name \"" + name + "\""};
}

std::string ReadOrFail(const std::string& path) {
  std::string s;
  if (!ReadFile(path, s)) throw Failure{"cannot read " + path};
  return s;
}

std::string Hex(const unsigned char* p, unsigned n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

// ---- key and certificate making ----------------------------------------------------
PkeyPtr GenerateKey(const std::string& alg, int bits) {
  PkeyPtr key;
  if (alg == "gost2012-256" || alg == "gost2012-512") {
    if (!EnsureEngine()) throw Failure{"the OpenSSL GOST engine (gost) cannot be loaded"};
    int nid = alg == "gost2012-256" ? NID_id_GostR3410_2012_256 : NID_id_GostR3410_2012_512;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(nid, nullptr));
    EVP_PKEY* k = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A") <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &k) <= 0) {
      throw Failure{"GOST key generation failed: " + OpenSslErrors()};
    }
    key.reset(k);
  } else if (alg == "rsa") {
    key.reset(EVP_RSA_gen(static_cast<unsigned>(bits)));
  } else if (alg == "ecdsa") {
    key.reset(EVP_EC_gen("P-256"));
  } else {
    throw UsageError{"unknown algorithm \"" + alg + "\" (gost2012-256, gost2012-512, rsa, ecdsa)"};
  }
  if (!key) throw Failure{"key generation failed: " + OpenSslErrors()};
  return key;
}

X509NamePtr ParseDn(const std::string& dn) {
  X509NamePtr name(X509_NAME_new());
  std::vector<std::string> parts;
  std::string cur;
  char sep = (!dn.empty() && dn[0] == '/') ? '/' : ',';
  for (size_t i = (sep == '/' ? 1 : 0); i < dn.size(); ++i) {
    char c = dn[i];
    if (c == '\\' && i + 1 < dn.size()) {
      cur += dn[++i];
    } else if (c == sep) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  for (std::string p : parts) {
    size_t b = p.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    p = p.substr(b);
    size_t eq = p.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError{"bad subject part \"" + p + "\""};
    std::string field = p.substr(0, eq), value = p.substr(eq + 1);
    while (!field.empty() && field.back() == ' ') field.pop_back();
    if (!X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                    0)) {
      ERR_clear_error();
      throw UsageError{"bad subject field \"" + field + "\""};
    }
  }
  if (X509_NAME_entry_count(name.get()) == 0) throw UsageError{"empty subject"};
  return name;
}

void AddExt(X509* x, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) throw Failure{"certificate extension failed: " + OpenSslErrors()};
  X509_add_ext(x, ext, -1);
  X509_EXTENSION_free(ext);
}

X509Ptr SelfSign(EVP_PKEY* key, const X509NamePtr& subject, long days, long startDays) {
  X509Ptr x(X509_new());
  if (!x) throw Failure{"out of memory"};
  X509_set_version(x.get(), 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  serial[0] |= 0x01;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get()));
  BN_free(bn);
  X509_set_subject_name(x.get(), subject.get());
  X509_set_issuer_name(x.get(), subject.get());
  X509_gmtime_adj(X509_getm_notBefore(x.get()), startDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), (startDays + days) * 86400L);
  X509_set_pubkey(x.get(), key);
  // A signing certificate, not a CA's: receivers refuse a CA certificate as a signer.
  AddExt(x.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExt(x.get(), NID_key_usage, "critical,digitalSignature,nonRepudiation");
  AddExt(x.get(), NID_subject_key_identifier, "hash");
  AddExt(x.get(), NID_authority_key_identifier, "keyid:always");
  const EVP_MD* md = DigestForKey(key);
  if (!md || X509_sign(x.get(), key, md) <= 0) {
    throw Failure{"certificate signing failed: " + OpenSslErrors()};
  }
  return x;
}

// ---- writing a profile -------------------------------------------------------------
// trusted/<first 10 bytes of the SHA-256 fingerprint in hex>.pem
void WriteTrusted(const std::string& dir, X509* cert) {
  mkdir((dir + "/trusted").c_str(), 0700);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  X509_digest(cert, EVP_sha256(), md, &n);
  std::string path = dir + "/trusted/" + Hex(md, 10) + ".pem";
  if (!WriteFile(path, CertToPem(cert), false)) throw Failure{"cannot write " + path};
}

// key null: a verify-only profile (key=none in profile.conf, no key.pem).
void WriteProfile(const std::string& name, EVP_PKEY* key, X509* cert, const std::string& pin,
                  bool savePin, bool force, const std::vector<X509Ptr>& extraTrusted) {
  if (key && X509_check_private_key(cert, key) != 1) {
    ERR_clear_error();
    throw Failure{"the key does not belong to the certificate"};
  }
  std::string home = ProviderHome();
  if (mkdir(home.c_str(), 0700) != 0 && errno != EEXIST) {
    throw Failure{"cannot create " + home};
  }
  std::string dir;
  if (std::optional<std::string> existing = FindProfile(name)) {
    if (!force)
      throw Failure{"profile \"" + name + "\" exists already (" + *existing + "); use --force"};
    dir = *existing;
  } else {
    dir = ProfileDirForNew(name);
    if (mkdir(dir.c_str(), 0700) != 0) throw Failure{"cannot create " + dir};
  }
  std::string keyPem = key ? KeyToPem(key, pin) : std::string();
  std::string certPem = CertToPem(cert);
  if ((key && keyPem.empty()) || certPem.empty())
    throw Failure{"cannot encode: " + OpenSslErrors()};
  if (!key && unlink((dir + "/key.pem").c_str()) != 0 && errno != ENOENT)
    throw Failure{"cannot remove " + dir + "/key.pem"};
  if ((key && !WriteFile(dir + "/key.pem", keyPem, true)) ||
      !WriteFile(dir + "/cert.pem", certPem, false)) {
    throw Failure{"cannot write the profile in " + dir};
  }
  std::string conf = "# spki1 profile " + name + "\n";
  if (!key) conf += "key=none\n";
  if (savePin && !pin.empty()) conf += "pin=" + pin + "\n";
  if (!WriteFile(dir + "/profile.conf", conf, true))
    throw Failure{"cannot write " + dir + "/profile.conf"};
  for (const X509Ptr& t : extraTrusted) WriteTrusted(dir, t.get());
  std::cout << "profile \"" << name << "\" in " << dir << "\n";
}

// ---- commands ----------------------------------------------------------------------
int Create(const std::vector<std::string>& argv) {
  Args a = Parse(argv, {"--alg", "--subject", "--pin", "--days", "--start-days", "--bits"},
                 {"--save-pin", "--force"});
  std::string name = Need(a, 1, "spki1-tool create NAME [--alg ALG] [--subject DN] [--pin PIN]");
  CheckName(name);
  std::string alg = Get(a, "--alg", "gost2012-256");
  long days = ToLong(Get(a, "--days", "3650"), "--days");
  long start = ToLong(Get(a, "--start-days", "0"), "--start-days");
  long bits = ToLong(Get(a, "--bits", "2048"), "--bits");
  if (days <= 0) throw UsageError{"--days must be positive"};
  if (bits < 1024 || bits > 16384) throw UsageError{"--bits must be between 1024 and 16384"};
  std::string pin = Get(a, "--pin");
  if (Has(a, "--save-pin") && pin.empty()) throw UsageError{"--save-pin needs --pin"};
  X509NamePtr subject = ParseDn(Get(a, "--subject", "CN=" + name));
  PkeyPtr key = GenerateKey(alg, static_cast<int>(bits));
  X509Ptr cert = SelfSign(key.get(), subject, days, start);
  WriteProfile(name, key.get(), cert.get(), pin, Has(a, "--save-pin"), Has(a, "--force"), {});
  return kOk;
}

int Import(const std::vector<std::string>& argv) {
  Args a = Parse(argv, {"--key", "--cert", "--p12", "--pin"}, {"--force"});
  std::string name =
      Need(a, 1, "spki1-tool import NAME --key KEY.pem --cert CERT.pem | --p12 FILE.p12");
  CheckName(name);
  bool p12 = Has(a, "--p12");
  if (p12 == (Has(a, "--key") || Has(a, "--cert")) || (!p12 && !Has(a, "--cert"))) {
    throw UsageError{
        "import needs --cert (with --key, or alone for a verify-only profile), or --p12"};
  }
  std::string pin = Get(a, "--pin");
  if (!p12 && !Has(a, "--key")) {
    if (Has(a, "--pin")) throw UsageError{"--pin needs --key or --p12: --cert alone has no key"};
    EnsureEngine();
    std::vector<X509Ptr> certs = ParseCertsPem(ReadOrFail(Get(a, "--cert")));
    if (certs.empty()) throw Failure{Get(a, "--cert") + " holds no PEM certificate"};
    X509Ptr first = std::move(certs.front());
    certs.erase(certs.begin());
    WriteProfile(name, nullptr, first.get(), "", false, Has(a, "--force"), certs);
    return kOk;
  }
  EnsureEngine();
  PkeyPtr key;
  X509Ptr cert;
  std::vector<X509Ptr> extra;
  if (p12) {
    std::string bytes = ReadOrFail(Get(a, "--p12"));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    Pkcs12Ptr pk(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (!pk) throw Failure{Get(a, "--p12") + " is not a PKCS#12 file: " + OpenSslErrors()};
    EVP_PKEY* k = nullptr;
    X509* c = nullptr;
    STACK_OF(X509)* ca = nullptr;
    if (!PKCS12_parse(pk.get(), pin.c_str(), &k, &c, &ca)) {
      throw Failure{"cannot open " + Get(a, "--p12") + " (wrong PIN?): " + OpenSslErrors()};
    }
    key.reset(k);
    cert.reset(c);
    X509StackPtr cas(ca);
    while (cas && sk_X509_num(cas.get()) > 0) extra.emplace_back(sk_X509_shift(cas.get()));
    if (!key || !cert) throw Failure{Get(a, "--p12") + " holds no key with its certificate"};
  } else {
    std::string keyPem = ReadOrFail(Get(a, "--key"));
    bool encrypted = KeyPemIsEncrypted(keyPem);
    if (encrypted && pin.empty()) throw Failure{Get(a, "--key") + " is encrypted; give its --pin"};
    key = ParseKeyPem(keyPem, encrypted ? &pin : nullptr);
    if (!key) throw Failure{"cannot read the key " + Get(a, "--key") + ": " + OpenSslErrors()};
    cert = ParseCertPem(ReadOrFail(Get(a, "--cert")));
    if (!cert) throw Failure{Get(a, "--cert") + " holds no PEM certificate"};
  }
  if (!DigestForKey(key.get())) {
    throw Failure{"key algorithm " + KeyAlgorithmName(key.get()) + " is not supported"};
  }
  WriteProfile(name, key.get(), cert.get(), pin, false, Has(a, "--force"), extra);
  return kOk;
}

int Trust(const std::vector<std::string>& argv) {
  Args a = Parse(argv, {}, {});
  std::string name = Need(a, 2, "spki1-tool trust NAME CERT.pem");
  std::optional<std::string> dir = FindProfile(name);
  if (!dir) throw Failure{"no profile \"" + name + "\" in " + ProviderHome()};
  EnsureEngine();
  const std::string text = ReadOrFail(a.positional[1]);
  std::vector<X509Ptr> certs = ParseCertsPem(text);
  if (certs.empty() && !ParseCrls(text).empty())
    throw Failure{a.positional[1] + " holds a CRL: add it with spki1-tool crl " + name + " " +
                  a.positional[1]};
  if (certs.empty()) throw Failure{a.positional[1] + " holds no PEM certificate"};
  for (const X509Ptr& c : certs) {
    WriteTrusted(*dir, c.get());
    std::cout << "trusted " << NameText(X509_get_subject_name(c.get())) << "\n";
  }
  return kOk;
}

// The certificate of the store that issued the CRL: its name and a signature that
// verifies. Throws when none did.
X509* CrlIssuer(X509_STORE* store, X509_CRL* crl) {
  const std::string issuer = NameText(X509_CRL_get_issuer(crl));
  bool named = false;
  STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objs); ++i) {
    X509* x = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objs, i));
    if (!x || X509_NAME_cmp(X509_get_subject_name(x), X509_CRL_get_issuer(crl)) != 0) continue;
    named = true;
    EVP_PKEY* key = X509_get0_pubkey(x);
    if (key && X509_CRL_verify(crl, key) == 1) return x;
  }
  ERR_clear_error();
  if (named) throw Failure{"the signature of the CRL of " + issuer + " does not verify"};
  throw Failure{"the CRL is issued by " + issuer +
                ", whose certificate the profile does not hold (spki1-tool trust first)"};
}

int Crl(const std::vector<std::string>& argv) {
  Args a = Parse(argv, {}, {});
  std::string name = Need(a, 2, "spki1-tool crl NAME FILE");
  Profile prof;
  if (std::optional<Error> e = OpenProfileCertOnly(name, prof)) throw Failure{e->detail};
  const std::string& file = a.positional[1];
  std::vector<X509CrlPtr> crls = ParseCrls(ReadOrFail(file));
  if (crls.empty()) throw Failure{file + " holds no CRL (PEM or DER)"};
  // All are checked before any is written.
  for (const X509CrlPtr& c : crls) CrlIssuer(prof.trust.get(), c.get());
  mkdir((prof.dir + "/crl").c_str(), 0700);
  for (const X509CrlPtr& c : crls) {
    // One file per issuer: a newer list replaces the older one.
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    X509_NAME_digest(X509_CRL_get_issuer(c.get()), EVP_sha256(), md, &n);
    std::string path = prof.dir + "/crl/" + Hex(md, 10) + ".crl";
    BioPtr bio(BIO_new(BIO_s_mem()));
    char* p = nullptr;
    if (!bio || !PEM_write_bio_X509_CRL(bio.get(), c.get())) throw Failure{"cannot encode the CRL"};
    long len = BIO_get_mem_data(bio.get(), &p);
    if (!WriteFile(path, std::string(p, static_cast<size_t>(len)), false))
      throw Failure{"cannot write " + path};
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(c.get());
    std::cout << "CRL of " << NameText(X509_CRL_get_issuer(c.get())) << ", next update "
              << (next ? TimeText(next) : "none") << ", "
              << std::max(0, sk_X509_REVOKED_num(X509_CRL_get_REVOKED(c.get())))  // none: -1
              << " revoked"
              << (next && X509_cmp_current_time(next) <= 0
                      ? " (EXPIRED: crl=require profiles refuse signers until a newer one comes)"
                      : "")
              << "\n";
  }
  return kOk;
}

int ExportCert(const std::vector<std::string>& argv) {
  Args a = Parse(argv, {}, {});
  std::string name = Need(a, 1, "spki1-tool export-cert NAME");
  Profile prof;
  if (std::optional<Error> e = OpenProfileCertOnly(name, prof)) throw Failure{e->detail};
  std::cout << CertToPem(prof.cert.get());
  return kOk;
}

int List(const std::vector<std::string>& argv) {
  Args a = Parse(argv, {}, {});
  if (!a.positional.empty()) throw UsageError{"usage: spki1-tool list"};
  EnsureEngine();
  // $SPKI1_PIN is meant for one key; a key it does not open is no fault of its profile.
  unsetenv("SPKI1_PIN");
  for (const std::string& n : ListProfiles()) {
    // Opened as the provider opens it, so that a profile it would refuse shows here; a
    // key that needs a PIN nobody configured is not a fault of the profile.
    Profile prof;
    std::optional<Error> e = OpenProfile(n, PinMode::Silent, prof);
    if (e && e->status != SPKI1_E_PIN_REQUIRED) {
      std::cout << n << "\tBROKEN: " << e->detail << "\n";
      continue;
    }
    std::string keyPem;
    ReadFile(prof.dir + "/key.pem", keyPem);
    BioPtr bio(BIO_new(BIO_s_mem()));
    ASN1_TIME_print(bio.get(), X509_get0_notAfter(prof.cert.get()));
    char* t = nullptr;
    long tl = BIO_get_mem_data(bio.get(), &t);
    EVP_PKEY* pub = X509_get0_pubkey(prof.cert.get());
    int trusted = -1;  // the profile's own certificate is no further one
    std::vector<X509_CRL*> crls;
    STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(prof.trust.get());
    for (int i = 0; i < sk_X509_OBJECT_num(objs); ++i) {
      X509_OBJECT* o = sk_X509_OBJECT_value(objs, i);
      if (X509_OBJECT_get0_X509(o)) ++trusted;
      if (X509_CRL* c = X509_OBJECT_get0_X509_CRL(o)) crls.push_back(c);
    }
    std::cout << n << "\t" << (pub ? KeyAlgorithmName(pub) : "?") << "\t"
              << NameText(X509_get_subject_name(prof.cert.get())) << "\tuntil "
              << std::string(t ? t : "", static_cast<size_t>(tl > 0 ? tl : 0)) << "\t"
              << (prof.verifyOnly             ? "VERIFY ONLY"
                  : KeyPemIsEncrypted(keyPem) ? "PIN"
                                              : "no PIN")
              << "\ttrusted " << trusted << "\tCRL " << crls.size()
              << (prof.policy.requireCrl ? " (required)" : "");
    if (!prof.verifyOnly) {
      if (std::optional<Error> window = CertificateInForce(prof))
        std::cout << "\tCANNOT SIGN: " << window->detail;
      if (uint32_t refused = SignerCertificatePolicy(prof.cert.get(), prof.policy))
        std::cout << "\tSIGNATURES REFUSED: "
                  << (refused == SPKI1_SIGNER_IS_CA       ? "a CA certificate signs"
                      : refused == SPKI1_SIGNER_KEY_USAGE ? "its key usage allows no signature"
                                                          : "its extended key usage");
    }
    std::cout << "\n";
    for (X509_CRL* c : crls) {
      const ASN1_TIME* next = X509_CRL_get0_nextUpdate(c);
      std::cout << "\tCRL of " << NameText(X509_CRL_get_issuer(c)) << "\tnext update "
                << (next ? TimeText(next) : "none")
                << (next && X509_cmp_current_time(next) <= 0 ? "\tEXPIRED" : "") << "\n";
    }
  }
  ERR_clear_error();
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << kHelp;
    return kUsage;
  }
  const std::string cmd = args[0];
  args.erase(args.begin());
  bool help = cmd == "--help" || cmd == "-h" || cmd == "help";
  for (const std::string& a : args) help = help || a == "--help" || a == "-h";
  if (help) {
    std::cout << kHelp;
    return kOk;
  }
  if (cmd == "--version") {
    std::cout << "spki1-tool " LUMO_VERSION_TEXT "\n";
    return kOk;
  }
  int rc;
  try {
    if (cmd == "create") {
      rc = Create(args);
    } else if (cmd == "import") {
      rc = Import(args);
    } else if (cmd == "trust") {
      rc = Trust(args);
    } else if (cmd == "crl") {
      rc = Crl(args);
    } else if (cmd == "export-cert") {
      rc = ExportCert(args);
    } else if (cmd == "list") {
      rc = List(args);
    } else {
      throw UsageError{"unknown command \"" + cmd + "\"; see spki1-tool --help"};
    }
  } catch (const UsageError& e) {
    std::cerr << "spki1-tool: " << e.what << "\n";
    rc = kUsage;
  } catch (const Failure& e) {
    std::cerr << "spki1-tool: " << e.what << "\n";
    rc = kFailure;
  }
  std::cout.flush();
  ReleaseEngine();
  return rc;
}
