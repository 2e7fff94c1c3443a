// Helpers for the spki1 provider tests: a throwaway provider home with profiles made by
// spki1-tool, the provider library bound by dlopen, and shell commands.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "../../spki1/spki1_status.h"
#include "../../provider/vcert_api.h"

namespace spki1test {

inline std::string BinDir() { return std::string(LUMO_BINARY_DIR) + "/tools"; }
inline std::string LibraryPath() { return BinDir() + "/libspki1.so"; }
inline std::string ToolPath() { return BinDir() + "/spki1-tool"; }

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

struct RunResult {
  int code = -1;
  std::string out;  // stdout and stderr together
};

// Runs a shell command; stdin from /dev/null.
inline RunResult Run(const std::string& cmd) {
  RunResult r;
  FILE* p = popen(("(" + cmd + ") </dev/null 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
}

// One provider home per test process (in SPKI1_HOME), removed at exit.
class Home {
 public:
  static Home& Get() {
    static Home home;
    return home;
  }
  const std::string& dir() const { return dir_; }
  std::string Scratch(const std::string& name) const { return scratch_ + "/" + name; }

  // Runs spki1-tool with the given arguments (already quoted as needed).
  RunResult Tool(const std::string& args) const { return Run(Quote(ToolPath()) + " " + args); }

  // Makes a profile once per process: "create NAME <args>".
  void Ensure(const std::string& name, const std::string& args) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (made_.count(name)) return;
    RunResult r = Tool("create " + Quote(name) + " " + args);
    ASSERT_EQ(r.code, 0) << r.out;
    made_[name] = true;
  }

  // The profile's directory (names are stored lower-cased).
  std::string ProfileDir(const std::string& lowerName) const { return dir_ + "/" + lowerName; }

 private:
  Home() {
    char tmpl[] = "/tmp/spki1-test-XXXXXX";
    root_ = mkdtemp(tmpl);
    dir_ = root_ + "/home";
    scratch_ = root_ + "/scratch";
    Run("mkdir -p " + Quote(dir_) + " " + Quote(scratch_));
    setenv("SPKI1_HOME", dir_.c_str(), 1);
    unsetenv("SPKI1_PIN");
  }
  ~Home() { Run("rm -rf " + Quote(root_)); }

  std::mutex mutex_;
  std::string root_, dir_, scratch_;
  std::map<std::string, bool> made_;
};

// The profiles the tests share; each is made on first use.
inline const char* Gost256() {
  Home::Get().Ensure("Gost256", "--alg gost2012-256");
  return "Gost256";
}
inline const char* Gost512() {
  Home::Get().Ensure("Gost512", "--alg gost2012-512");
  return "Gost512";
}
inline const char* Rsa() {
  Home::Get().Ensure("Rsa", "--alg rsa");
  return "Rsa";
}
inline const char* Ecdsa() {
  Home::Get().Ensure("Ecdsa", "--alg ecdsa");
  return "Ecdsa";
}
inline const char* Stranger() {
  Home::Get().Ensure("Stranger", "--alg gost2012-256 --subject 'CN=Stranger,O=Elsewhere'");
  return "Stranger";
}
inline const char* Locked() {  // PIN 1234, not written anywhere
  Home::Get().Ensure("Locked", "--alg gost2012-256 --pin 1234");
  return "Locked";
}

// A file of a profile, by the profile's name.
inline std::string ProfileFile(const char* name, const char* file) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return Home::Get().ProfileDir(lower) + "/" + file;
}

// `openssl cms -sign` (detached) over data with the profiles' keys, whatever their
// certificates' validity; returns the DER.
inline std::string OpensslSigns(const std::vector<const char*>& profiles, const std::string& data,
                                const std::string& extra = "") {
  std::string base = Home::Get().Scratch("theirs");
  WriteAll(base + ".data", data);
  std::string signers;
  for (const char* p : profiles) {
    signers += " -signer " + Quote(ProfileFile(p, "cert.pem")) + " -inkey " +
               Quote(ProfileFile(p, "key.pem"));
  }
  RunResult r = Run("openssl cms -sign -binary -outform DER -in " + Quote(base + ".data") +
                    signers + " -engine gost " + extra + " -out " + Quote(base + ".der"));
  EXPECT_EQ(r.code, 0) << r.out;
  return ReadAll(base + ".der");
}

// The provider library bound by dlopen, once per process.
struct Provider {
#define SPKI1_SLOT(name, result, parameters) PFN_VCERT_##name name;
  VCERT_ENTRY_POINTS(SPKI1_SLOT)
#undef SPKI1_SLOT

  static const Provider& Get() {
    static Provider p = Load();
    return p;
  }

  // Opens a profile or fails the test; returns the context.
  VCERT_CONTEXT Open(const char* name,
                     uint32_t flags = VCERT_FLAGS_DEFAULT | VCERT_FLAG_SILENT) const {
    VCERT_CONTEXT ctx = 0;
    VCERT_STATUS st = Initialize(name, flags, &ctx);
    EXPECT_EQ(st, 0u) << std::hex << st << " opening " << name;
    return ctx;
  }

  // Signs data; returns the DER signature ("" and a test failure on error).
  std::string SignBytes(VCERT_CONTEXT ctx, const std::string& data,
                        VCERT_STATUS* status = nullptr) const {
    VCERT_SIGN_PARAMS params{0, 0};
    VCERT_BLOB in{static_cast<uint32_t>(data.size()),
                  reinterpret_cast<uint8_t*>(const_cast<char*>(data.data()))};
    VCERT_BLOB empty{0, nullptr};
    VCERT_BLOB sig{0, nullptr};
    VCERT_STATUS st = CmsBlkDetSignMem(ctx, &params, &in, &empty, &sig);
    if (status) *status = st;
    else
      EXPECT_EQ(st, 0u) << std::hex << st;
    std::string out;
    if (st == 0) {
      out.assign(reinterpret_cast<char*>(sig.pbData), sig.cbData);
      FreeMem(ctx, sig.pbData);
    }
    return out;
  }

  // Verifies; returns the call status and the signer statuses.
  VCERT_STATUS VerifyBytes(VCERT_CONTEXT ctx, const std::string& data, const std::string& signature,
                           std::vector<uint32_t>* signers = nullptr) const {
    VCERT_VERIFY_PARAMS params{};
    params.Words[11] = 0x7FFFF;
    VCERT_BLOB in{static_cast<uint32_t>(data.size()),
                  reinterpret_cast<uint8_t*>(const_cast<char*>(data.data()))};
    VCERT_BLOB sig{static_cast<uint32_t>(signature.size()),
                   reinterpret_cast<uint8_t*>(const_cast<char*>(signature.data()))};
    VCERT_BLOB empty{0, nullptr};
    VCERT_VERIFY_RESULT result;
    VCERT_STATUS st = CmsBlkDetVerifyMem(ctx, &params, &in, &sig, &empty, &result);
    if (signers) signers->clear();
    if (st == 0 || st == VCERT_STATUS_SIGNERS_FAILED) {
      for (uint32_t i = 0; i < result.Count; ++i) {
        if (signers) signers->push_back(result.Signers[i].Status);
      }
      FreeVerifyResult(ctx, &result);
    } else {
      EXPECT_EQ(result.Count, 0u);
      EXPECT_EQ(result.Signers, nullptr);
    }
    return st;
  }

 private:
  static Provider Load() {
    Home::Get();  // SPKI1_HOME is set before the library reads it
    Provider p{};
    void* h = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      ADD_FAILURE() << "dlopen " << LibraryPath() << ": " << dlerror();
      return p;
    }
    // spki1 exports every entry point of the list.
#define SPKI1_BIND(name, result, parameters)                             \
  p.name = reinterpret_cast<PFN_VCERT_##name>(dlsym(h, "VCERT_" #name)); \
  if (!p.name) ADD_FAILURE() << LibraryPath() << " does not export VCERT_" #name;
    VCERT_ENTRY_POINTS(SPKI1_BIND)
#undef SPKI1_BIND
    return p;
  }
};

// A 3 KB test message with every byte value.
inline std::string Message(size_t size = 3000) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return s;
}

}  // namespace spki1test
