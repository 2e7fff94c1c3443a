// The platform half of the provider binding: the dynamic loader, the process-wide
// reader/writer lock and the texts that differ between systems. One definition per
// platform, each in a file of its own (library_posix.cpp: dlopen and pthread_rwlock;
// library_win.cpp: LoadLibraryW and SRWLOCK); signatura.cpp holds everything shared.
// Internal to provider/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Lumo::Provider::Library {

// "libspki1.so" or "spki1.dll".
extern const char* const kDefaultLibraryName;

// Loads the library by its UTF-8 name; nullptr and the system's text in error on failure.
void* OpenLibrary(const std::string& name, std::string& error);
void CloseLibrary(void* handle);
// The address of an exported function, or nullptr.
void* FindSymbol(void* handle, const char* name);

// LUMODEZ_PROVIDER as UTF-8 (empty when not set).
std::string ProviderVariable();
// The message of a failed load of `file`, from the loader's own text.
std::string LoadFailureText(const std::string& file, const std::string& error);
// The provider's own text (ANSI on Windows, UTF-8 elsewhere) as UTF-8.
std::string ProviderText(const char* text, size_t length);

// The one lock guarding the binding's state: statically initialised, never destroyed,
// usable at any time (std::mutex is not available with the win32 thread model of the
// mingw compiler the Windows build uses).
void LockExclusive();
void UnlockExclusive();
void LockShared();
void UnlockShared();

inline std::string Hex8(uint32_t value) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08X", static_cast<unsigned>(value));
  return std::string(buffer, 8);
}

// Drops trailing white space and zero bytes (system texts end in a line break).
inline void TrimRight(std::string& text) {
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.back());
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\0') break;
    text.pop_back();
  }
}

}  // namespace Lumo::Provider::Library
