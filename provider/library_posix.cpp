// The provider binding's platform half on POSIX: dlopen and a pthread reader/writer lock.
#ifndef _WIN32

#include <dlfcn.h>
#include <pthread.h>

#include <cstdlib>

#include "provider/library.h"

namespace Lumo::Provider::Library {

const char* const kDefaultLibraryName = "libspki1.so";

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

void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }

std::string ProviderVariable() {
  const char* value = std::getenv("LUMODEZ_PROVIDER");
  return value != nullptr ? std::string(value) : std::string();
}

std::string LoadFailureText(const std::string& file, const std::string& error) {
  // The loader's text (dlerror) usually names the file. Where the default library is
  // missing, the reference provider's package is named too.
  const std::string named = error.find(file) != std::string::npos ? error : file + ": " + error;
  if (file == kDefaultLibraryName)
    return named + " (the reference provider " + file + " comes with the package lumodez-spki1)";
  return named;
}

std::string ProviderText(const char* text, size_t length) { return std::string(text, length); }

namespace {
pthread_rwlock_t g_lock = PTHREAD_RWLOCK_INITIALIZER;  // never destroyed
}  // namespace

void LockExclusive() { pthread_rwlock_wrlock(&g_lock); }
void UnlockExclusive() { pthread_rwlock_unlock(&g_lock); }
void LockShared() { pthread_rwlock_rdlock(&g_lock); }
void UnlockShared() { pthread_rwlock_unlock(&g_lock); }

}  // namespace Lumo::Provider::Library

#endif  // !_WIN32
