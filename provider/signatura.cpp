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

#include "provider/vcert_api.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "base/encoding.h"
#else
#include <dlfcn.h>
#include <pthread.h>
#endif

namespace Lumo::Provider {

namespace {

#ifdef _WIN32
constexpr const char* kDefaultLibraryName = "spki1.dll";
#else
constexpr const char* kDefaultLibraryName = "libspki1.so";
#endif

constexpr char kUnknownCodePrefix[] = "Неизвестный код шибки (";
// A verification that the provider calls good without naming a single signer.
constexpr char kNoSignerText[] = "Криптопровайдер не сообщил ни одной подписи";

// --- Lock --------------------------------------------------------------------------

class RwLock {
 public:
#ifdef _WIN32
  void Lock() { AcquireSRWLockExclusive(&lock_); }
  void Unlock() { ReleaseSRWLockExclusive(&lock_); }
  void LockShared() { AcquireSRWLockShared(&lock_); }
  void UnlockShared() { ReleaseSRWLockShared(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
#else
  void Lock() { pthread_rwlock_wrlock(&lock_); }
  void Unlock() { pthread_rwlock_unlock(&lock_); }
  void LockShared() { pthread_rwlock_rdlock(&lock_); }
  void UnlockShared() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_ = PTHREAD_RWLOCK_INITIALIZER;
#endif
};

constinit RwLock g_lock;  // constant-initialised POD wrapper: usable at any time, never destroyed

class ExclusiveLock {
 public:
  ExclusiveLock() { g_lock.Lock(); }
  ~ExclusiveLock() { g_lock.Unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

class SharedLock {
 public:
  SharedLock() { g_lock.LockShared(); }
  ~SharedLock() { g_lock.UnlockShared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;
};

// --- State (unit API6) ---------------------------------------------------------------

struct EntryPoints {
  PFN_VCERT_GetErrorText GetErrorText = nullptr;
  PFN_VCERT_AllocMem AllocMem = nullptr;
  PFN_VCERT_ReallocMem ReallocMem = nullptr;
  PFN_VCERT_FreeMem FreeMem = nullptr;
  PFN_VCERT_Initialize Initialize = nullptr;
  PFN_VCERT_InitializeEx InitializeEx = nullptr;
  PFN_VCERT_InitMinimal InitMinimal = nullptr;
  PFN_VCERT_Uninitialize Uninitialize = nullptr;
  PFN_VCERT_CmsBlkDetSignMem CmsBlkDetSignMem = nullptr;
  PFN_VCERT_FreeVerifyResult FreeVerifyResult = nullptr;
  PFN_VCERT_CmsBlkDetVerifyMem CmsBlkDetVerifyMem = nullptr;
};

struct State {
  void* handle = nullptr;   // HMODULE on Windows
  std::string libraryName;  // empty: the default name
  std::string loadedName;   // the name the current handle was loaded by
  std::string loadError;    // text of the last load failure
  EntryPoints entry;
  uint32_t loadCount = 0;
};

// Guarded by g_lock. Function-local so that its construction does not depend on the
// order in which static objects of different units start.
State& S() {
  static State* state = new State();  // never destroyed: callers may run during exit
  return *state;
}

// Make sure S() is constructed before any second thread can reach it (mingw's win32
// thread model has no thread-safe local statics).
[[maybe_unused]] const bool g_stateReady = (S(), true);

std::string Hex8(uint32_t value) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08X", static_cast<unsigned>(value));
  return std::string(buffer, 8);
}

void TrimRight(std::string& text) {
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text.back());
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0') {
      text.pop_back();
    } else {
      break;
    }
  }
}

// --- Platform loader -----------------------------------------------------------------

#ifdef _WIN32
std::string SystemErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length != 0 && buffer != nullptr) {
    Lumo::Base::WideString wide(reinterpret_cast<const char16_t*>(buffer), length);
    text = Lumo::Base::Utf8FromWide(wide);
  }
  if (buffer != nullptr) LocalFree(buffer);
  TrimRight(text);
  if (text.empty()) text = "Системная ошибка " + std::to_string(code) + " (0x" + Hex8(code) + ")";
  return text;
}

void* OpenLibrary(const std::string& name, std::string& error) {
  Lumo::Base::WideString wide = Lumo::Base::WideFromUtf8(name);
  std::wstring path(wide.begin(), wide.end());
  HMODULE module = LoadLibraryW(path.c_str());
  if (module == nullptr) {
    error = SystemErrorText(GetLastError());
    return nullptr;
  }
  return reinterpret_cast<void*>(module);
}

void CloseLibrary(void* handle) { FreeLibrary(reinterpret_cast<HMODULE>(handle)); }

template <typename F>
void Bind(void* handle, const char* name, F& slot) {
  FARPROC proc = GetProcAddress(reinterpret_cast<HMODULE>(handle), name);
  slot = reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
}
#else
void* OpenLibrary(const std::string& name, std::string& error) {
  dlerror();  // clear an old text
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    error = text != nullptr ? text : "";
    TrimRight(error);
    if (error.empty()) error = "dlopen(\"" + name + "\") failed";
  }
  return handle;
}

void CloseLibrary(void* handle) { dlclose(handle); }

template <typename F>
void Bind(void* handle, const char* name, F& slot) {
  slot = reinterpret_cast<F>(dlsym(handle, name));
}
#endif

// LUMODEZ_PROVIDER: a vendor's library when the program named none.
std::string ProviderVariable() {
#ifdef _WIN32
  // Wide form, so that a path with Cyrillic letters survives whatever the code page.
  const wchar_t* value = _wgetenv(L"LUMODEZ_PROVIDER");
  if (value == nullptr) return std::string();
  std::wstring wide(value);
  return Lumo::Base::Utf8FromWide(Lumo::Base::WideString(wide.begin(), wide.end()));
#else
  const char* value = std::getenv("LUMODEZ_PROVIDER");
  return value != nullptr ? std::string(value) : std::string();
#endif
}

// The name a load with an empty name uses: the program's setting, else the environment
// variable, else the default name.
std::string EffectiveLibraryName() {
  if (!S().libraryName.empty()) return S().libraryName;
  std::string fromEnvironment = ProviderVariable();
  return !fromEnvironment.empty() ? fromEnvironment : std::string(kDefaultLibraryName);
}

// A load failure names the file that was tried. The loader's own text usually does
// (dlerror); the Windows system text never does, yet there the default name keeps the
// system text alone, as it always had.
std::string LoadFailureText(const std::string& file, const std::string& error) {
#ifdef _WIN32
  if (file == kDefaultLibraryName) return error;
#else
  // Where the default library is missing, the reference provider's package is.
  if (file == kDefaultLibraryName)
    return (error.find(file) != std::string::npos ? error : file + ": " + error) +
           " (the reference provider " + file + " comes with the package lumodez-spki1)";
#endif
  if (error.find(file) != std::string::npos) return error;
  return file + ": " + error;
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
  // All eleven names, in the order of the provider's interface.
  EntryPoints e;
  Bind(handle, "VCERT_GetErrorText", e.GetErrorText);
  Bind(handle, "VCERT_AllocMem", e.AllocMem);
  Bind(handle, "VCERT_ReallocMem", e.ReallocMem);
  Bind(handle, "VCERT_FreeMem", e.FreeMem);
  Bind(handle, "VCERT_Initialize", e.Initialize);
  Bind(handle, "VCERT_InitializeEx", e.InitializeEx);
  Bind(handle, "VCERT_InitMinimal", e.InitMinimal);
  Bind(handle, "VCERT_Uninitialize", e.Uninitialize);
  Bind(handle, "VCERT_CmsBlkDetSignMem", e.CmsBlkDetSignMem);
  Bind(handle, "VCERT_FreeVerifyResult", e.FreeVerifyResult);
  Bind(handle, "VCERT_CmsBlkDetVerifyMem", e.CmsBlkDetVerifyMem);
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
    g_lock.LockShared();
    if (S().handle == nullptr) {
      std::string message = S().loadError;
      g_lock.UnlockShared();
      throw Lumo::Base::ESignaturaError(message, std::string());
    }
  }
  ~Guard() { g_lock.UnlockShared(); }
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

std::string ProviderText(const char* text, size_t length) {
#ifdef _WIN32
  return Lumo::Base::Utf8FromWide(Lumo::Base::AnsiToWide(std::string_view(text, length)));
#else
  return std::string(text, length);
#endif
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
