// The provider binding's platform half on Windows: LoadLibraryW and an SRWLOCK.
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

#include "base/encoding.h"
#include "provider/library.h"

namespace Lumo::Provider::Library {

const char* const kDefaultLibraryName = "spki1.dll";

namespace {

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

SRWLOCK g_lock = SRWLOCK_INIT;  // never destroyed

}  // namespace

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

void* FindSymbol(void* handle, const char* name) {
  FARPROC proc = GetProcAddress(reinterpret_cast<HMODULE>(handle), name);
  return reinterpret_cast<void*>(proc);
}

std::string ProviderVariable() {
  // Wide form, so that a path with Cyrillic letters survives whatever the code page.
  const wchar_t* value = _wgetenv(L"LUMODEZ_PROVIDER");
  if (value == nullptr) return std::string();
  std::wstring wide(value);
  return Lumo::Base::Utf8FromWide(Lumo::Base::WideString(wide.begin(), wide.end()));
}

std::string LoadFailureText(const std::string& file, const std::string& error) {
  // The system text never names the file; for the default name it stands alone, as it
  // always has.
  if (file == kDefaultLibraryName) return error;
  if (error.find(file) != std::string::npos) return error;
  return file + ": " + error;
}

std::string ProviderText(const char* text, size_t length) {
  return Lumo::Base::Utf8FromWide(Lumo::Base::AnsiToWide(std::string_view(text, length)));
}

void LockExclusive() { AcquireSRWLockExclusive(&g_lock); }
void UnlockExclusive() { ReleaseSRWLockExclusive(&g_lock); }
void LockShared() { AcquireSRWLockShared(&g_lock); }
void UnlockShared() { ReleaseSRWLockShared(&g_lock); }

}  // namespace Lumo::Provider::Library

#endif  // _WIN32
