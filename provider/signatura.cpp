// Signatura.API6 and Signatura.Types: the run-time binding to the crypto provider.
//
// Choices made here:
//
// * Missing VCERT_GetErrorText. Earlier versions kept such a library loaded and reported
//   failure with an empty message, so the next operation went on with a provider whose
//   errors cannot be described. Here LoadProvider releases the library again and stores
//   a message naming the library and the missing entry point; the state is "not loaded",
//   so Initialize raises that message and the next Initialize tries to load again.
//
// * Other missing entry points are still not checked at load (they are bound by name and
//   only the error-text entry decides the load, as earlier versions did). An operation checks every
//   entry point it will call before calling any of them and raises ESignaturaError with
//   the message "В библиотеке криптопровайдера <file> нет функции <name>" and
//   FunctionName <name>. SignDetached needs VCERT_CmsBlkDetSignMem and VCERT_FreeMem,
//   VerifyDetached VCERT_CmsBlkDetVerifyMem and VCERT_FreeVerifyResult, so nothing the
//   provider hands out is left unreleased. A missing VCERT_GetErrorText cannot happen
//   once loaded; ErrorText without a library gives the "unknown code" text.
//
// * Locking. The state is guarded by one process-wide reader/writer lock (the platform's:
//   pthread_rwlock on POSIX, SRWLOCK on Windows, both statically initialised and never
//   destroyed; std::mutex is not available with the win32 thread model of the mingw
//   compiler the Windows build uses). Load, unload and name changes take it exclusively;
//   every operation holds it shared for the whole call into the provider, so two threads
//   calling Initialize at once load the library once, and UnloadProvider waits until
//   calls in progress have returned. Operations never take the lock twice on one thread.
//
// * Verify returns normally only for status 0 with at least one signer entry and every
//   entry's status 0; anything else raises, so that a verification that failed, or
//   checked no signer, can never pass. Earlier versions returned normally for status
//   0xE0700019 with no failing entry and for status 0 with failing entries (a provider
//   that says "some signer failed" without naming one, or "good" beside a failing signer).
//   Failing entries raise with their texts, one per line, whatever the status (all texts
//   empty: the CreateCode form of 0xE0700019); 0xE0700019 with none raises its CreateCode
//   form; status 0 with no entry raises kNoSignerText. FunctionName stays empty for all
//   three (no entry point's status is quoted in front of the message).
//
// * SignDetached: data longer than 4 GiB - 1 cannot be described by a blob and raises;
//   a signature blob with a length but no address raises after VCERT_FreeMem.
//
// * Texts: messages are UTF-8. On Windows the provider's ANSI text (thread code page) and
//   the system's load-error text are converted; on POSIX the provider's text (UTF-8) and
//   dlerror() are taken as they are. Library names are UTF-8 (LoadLibraryW on Windows, so
//   a path with Cyrillic letters loads too).
#include "provider/signatura.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "provider/library.h"
#include "provider/vcert_api.h"

namespace Lumo::Provider {

namespace {

using namespace Library;

constexpr char kUnknownCodePrefix[] = "Неизвестный код шибки (";
// A verification that the provider calls good without naming a single signer.
constexpr char kNoSignerText[] = "Криптопровайдер не сообщил ни одной подписи";

// --- Lock --------------------------------------------------------------------------

// The process-wide lock is the platform's (library.h).
class ExclusiveLock {
 public:
  ExclusiveLock() { LockExclusive(); }
  ~ExclusiveLock() { UnlockExclusive(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

class SharedLock {
 public:
  SharedLock() { LockShared(); }
  ~SharedLock() { UnlockShared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;
};

// --- State (unit API6) ---------------------------------------------------------------

// Every entry point of the list (provider/vcert_api.h), null where the library lacks it.
struct EntryPoints {
#define LUMO_ENTRY_SLOT(name, result, parameters) PFN_VCERT_##name name = nullptr;
  VCERT_ENTRY_POINTS(LUMO_ENTRY_SLOT)
#undef LUMO_ENTRY_SLOT
};

struct State {
  void* handle = nullptr;   // HMODULE on Windows
  std::string libraryName;  // empty: the default name
  std::string loadedName;   // the name the current handle was loaded by
  std::string loadError;    // text of the last load failure
  EntryPoints entry;
  uint32_t loadCount = 0;
};

// Guarded by the process-wide lock. Function-local so that its construction does not depend on the
// order in which static objects of different units start.
State& S() {
  static State* state = new State();  // never destroyed: callers may run during exit
  return *state;
}

// Make sure S() is constructed before any second thread can reach it (mingw's win32
// thread model has no thread-safe local statics).
[[maybe_unused]] const bool g_stateReady = (S(), true);

// The name a load with an empty name uses: the program's setting, else the environment
// variable, else the default name.
std::string EffectiveLibraryName() {
  if (!S().libraryName.empty()) return S().libraryName;
  std::string fromEnvironment = ProviderVariable();
  return !fromEnvironment.empty() ? fromEnvironment : std::string(kDefaultLibraryName);
}

template <typename F>
void Bind(void* handle, const char* name, F& slot) {
  slot = reinterpret_cast<F>(FindSymbol(handle, name));
}

// --- Load and unload (lock held exclusively) -----------------------------------------

void UnloadLocked() {
  State& s = S();
  if (s.handle != nullptr) CloseLibrary(s.handle);
  s.handle = nullptr;
  s.loadedName.clear();
  s.entry = EntryPoints();
  s.loadError.clear();
}

bool LoadLocked(const std::string& name) {
  UnloadLocked();
  State& s = S();
  std::string file = !name.empty() ? name : EffectiveLibraryName();
  std::string error;
  void* handle = OpenLibrary(file, error);
  if (handle == nullptr) {
    s.loadError = LoadFailureText(file, error);
    return false;
  }
  // Every name of the list, in the order of the provider's interface.
  EntryPoints e;
#define LUMO_BIND_ENTRY(name, result, parameters) Bind(handle, "VCERT_" #name, e.name);
  VCERT_ENTRY_POINTS(LUMO_BIND_ENTRY)
#undef LUMO_BIND_ENTRY
  if (e.GetErrorText == nullptr) {
    // Our choice (see the top of the file): do not keep a provider whose errors
    // cannot be described.
    CloseLibrary(handle);
    s.loadError = "В библиотеке криптопровайдера " + file + " нет функции VCERT_GetErrorText";
    return false;
  }
  s.handle = handle;
  s.loadedName = file;
  s.entry = e;
  ++s.loadCount;
  return true;
}

// --- Operations (lock held shared) ---------------------------------------------------

// The guard of Initialize, Uninitialize, SignDetached and VerifyDetached. Holds the lock
// shared from the end of the guard to the end of the operation.
class Guard {
 public:
  explicit Guard(bool loadWhenNeeded) {
    if (loadWhenNeeded) {
      {
        SharedLock probe;
        if (S().handle != nullptr) loadWhenNeeded = false;
      }
      if (loadWhenNeeded) {
        ExclusiveLock exclusive;
        if (S().handle == nullptr) LoadLocked(std::string());
      }
    }
    LockShared();
    if (S().handle == nullptr) {
      std::string message = S().loadError;
      UnlockShared();
      throw Lumo::Base::ESignaturaError(message, std::string());
    }
  }
  ~Guard() { UnlockShared(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

template <typename F>
F Need(F function, const char* name) {
  if (function == nullptr) {
    throw Lumo::Base::ESignaturaError(
        "В библиотеке криптопровайдера " + S().loadedName + " нет функции " + name, name);
  }
  return function;
}

std::string ErrorTextLocked(uint32_t status) {
  constexpr uint32_t kBufferSize = 1024;
  char buffer[kBufferSize + 1] = {};  // one spare zero beyond what the provider is told
  const char* text = nullptr;
  if (S().entry.GetErrorText != nullptr) {
    text = S().entry.GetErrorText(status, buffer, kBufferSize);
  }
  if (text == nullptr) return std::string(kUnknownCodePrefix) + Hex8(status) + ")";
  size_t length;
  if (text >= buffer && text < buffer + sizeof buffer) {
    length = strnlen(text, static_cast<size_t>(buffer + kBufferSize - text));
  } else {
    length = std::strlen(text);
  }
  return ProviderText(text, length);
}

Lumo::Base::ESignaturaError CreateCodeLocked(uint32_t status, const std::string& functionName) {
  return Lumo::Base::ESignaturaError(Hex8(status) + ": " + ErrorTextLocked(status), functionName,
                                     status);
}

void CheckResultLocked(uint32_t status, const std::string& functionName) {
  if (status != 0) throw CreateCodeLocked(status, functionName);
}

VCERT_BLOB BlobOf(const Lumo::Base::ByteString& bytes, const char* functionName) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
    throw Lumo::Base::ESignaturaError(
        "Данные длиной " + std::to_string(bytes.size()) +
            " байт не помещаются в блок криптопровайдера (не более 4294967295 байт)",
        functionName);
  }
  // data() of an empty string is the address of its terminating zero, never null.
  return VCERT_BLOB{static_cast<uint32_t>(bytes.size()),
                    reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data()))};
}

}  // namespace

// --- Signatura.API6 ------------------------------------------------------------------

bool LoadProvider(const std::string& name) {
  ExclusiveLock lock;
  return LoadLocked(name);
}

void UnloadProvider() {
  ExclusiveLock lock;
  UnloadLocked();
}

bool ProviderLoaded() {
  SharedLock lock;
  return S().handle != nullptr;
}

std::string ProviderLoadError() {
  SharedLock lock;
  return S().loadError;
}

void SetProviderLibraryName(const std::string& name) {
  ExclusiveLock lock;
  S().libraryName = name;
}

std::string ProviderLibraryName() {
  SharedLock lock;
  return EffectiveLibraryName();
}

uint32_t ProviderLoadCount() {
  SharedLock lock;
  return S().loadCount;
}

// --- TSignatura ----------------------------------------------------------------------

uint32_t TSignatura::Initialize(const Lumo::Base::AnsiString& profileName, uint32_t flags) {
  Guard guard(true);
  auto initialize = Need(S().entry.Initialize, "VCERT_Initialize");
  VCERT_CONTEXT context = 0;
  CheckResultLocked(initialize(profileName.c_str(), flags, &context), "VCERT_Initialize");
  return context;
}

void TSignatura::Uninitialize(uint32_t context) {
  Guard guard(false);
  auto uninitialize = Need(S().entry.Uninitialize, "VCERT_Uninitialize");
  CheckResultLocked(uninitialize(context), "VCERT_Uninitialize");
}

Lumo::Base::ByteString TSignatura::SignDetached(uint32_t context,
                                                const Lumo::Base::ByteString& data,
                                                uint32_t flags) {
  static constexpr char kName[] = "VCERT_CmsBlkDetSignMem";
  Guard guard(false);
  auto sign = Need(S().entry.CmsBlkDetSignMem, kName);
  auto freeMem = Need(S().entry.FreeMem, "VCERT_FreeMem");

  VCERT_SIGN_PARAMS params{flags, 0};
  VCERT_BLOB dataBlob = BlobOf(data, kName);
  VCERT_BLOB empty{0, nullptr};
  VCERT_BLOB signature{0, nullptr};
  CheckResultLocked(sign(context, &params, &dataBlob, &empty, &signature), kName);

  // Release the provider's buffer exactly once, also when copying fails.
  struct Release {
    PFN_VCERT_FreeMem freeMem;
    uint32_t context;
    void* address;
    ~Release() { freeMem(context, address); }
  } release{freeMem, context, signature.pbData};

  if (signature.pbData == nullptr) {
    if (signature.cbData != 0) {
      throw Lumo::Base::ESignaturaError(std::string(kName) + " вернула подпись длиной " +
                                            std::to_string(signature.cbData) + " байт без адреса",
                                        kName);
    }
    return Lumo::Base::ByteString();
  }
  return Lumo::Base::ByteString(reinterpret_cast<const char*>(signature.pbData), signature.cbData);
}

void TSignatura::VerifyDetached(uint32_t context, const Lumo::Base::ByteString& data,
                                const Lumo::Base::ByteString& signature, uint32_t flags) {
  static constexpr char kName[] = "VCERT_CmsBlkDetVerifyMem";
  Guard guard(false);
  auto verify = Need(S().entry.CmsBlkDetVerifyMem, kName);
  auto freeResult = Need(S().entry.FreeVerifyResult, "VCERT_FreeVerifyResult");

  VCERT_VERIFY_PARAMS params{};
  params.Words[0] = flags;
  params.Words[11] = 0x7FFFF;
  VCERT_BLOB dataBlob = BlobOf(data, kName);
  VCERT_BLOB signatureBlob = BlobOf(signature, kName);
  VCERT_BLOB empty{0, nullptr};
  VCERT_VERIFY_RESULT result{0, nullptr};
  uint32_t status = verify(context, &params, &dataBlob, &signatureBlob, &empty, &result);
  if (status != 0 && status != VCERT_STATUS_SIGNERS_FAILED) {
    CheckResultLocked(status, kName);  // raises; the result record is not released
  }

  std::string text;
  uint32_t failing = 0;
  try {
    if (result.Signers != nullptr) {
      for (uint32_t i = 0; i < result.Count; ++i) {
        uint32_t signerStatus = result.Signers[i].Status;
        if (signerStatus == 0) continue;
        if (failing++ > 0) text += "\r\n";
        text += ErrorTextLocked(signerStatus);
      }
    }
  } catch (...) {
    freeResult(context, &result);
    throw;
  }
  const bool anySigner = result.Signers != nullptr && result.Count > 0;
  freeResult(context, &result);

  if (failing > 0) {
    if (text.empty()) throw CreateCodeLocked(VCERT_STATUS_SIGNERS_FAILED, std::string());
    throw Lumo::Base::ESignaturaError(text, std::string(),
                                      status ? status : VCERT_STATUS_SIGNERS_FAILED);
  }
  if (status != 0) throw CreateCodeLocked(status, std::string());
  if (!anySigner) throw Lumo::Base::ESignaturaError(kNoSignerText, std::string());
}

std::string TSignatura::ErrorText(uint32_t status) {
  SharedLock lock;
  return ErrorTextLocked(status);
}

void TSignatura::CheckResult(uint32_t status, const std::string& functionName) {
  if (status == 0) return;
  throw CreateCode(status, functionName);
}

Lumo::Base::ESignaturaError TSignatura::CreateCode(uint32_t status,
                                                   const std::string& functionName) {
  SharedLock lock;
  return CreateCodeLocked(status, functionName);
}

}  // namespace Lumo::Provider
