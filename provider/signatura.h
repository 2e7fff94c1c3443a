// The binding to the crypto provider library, loaded at run time on first use:
// "spki1.dll" on Windows, "libspki1.so" through the dynamic loader elsewhere
// (units Signatura.API6 and Signatura.Types).
//
// Choices made here (see signatura.cpp for details):
// - A library that loads but lacks VCERT_GetErrorText is released again and the load
//   fails with a message naming the missing entry point (not an empty message).
// - A call that needs an entry point the library lacks raises ESignaturaError naming it
//   (message and FunctionName) before anything is called.
// - Loading, unloading and every provider call are guarded by one process-wide
//   reader/writer lock: two threads calling Initialize at once load the library once,
//   and UnloadProvider waits until calls in progress have returned.
// - Provider texts become UTF-8 (Windows: ANSI text of the thread's code page converted;
//   POSIX: the provider's UTF-8 as it is).
#pragma once

#include <cstdint>
#include <string>

#include "base/errors.h"
#include "base/types.h"

namespace Lumo::Provider {

// Process-wide binding state (unit API6). Loading is guarded by a lock.
// Names are UTF-8. LoadProvider returns whether the library is loaded (it is loaded only
// when VCERT_GetErrorText was found); on failure ProviderLoadError() says why.
bool LoadProvider(const std::string& name);  // empty: the library name below
void UnloadProvider();
bool ProviderLoaded();
std::string ProviderLoadError();
// The library name used when LoadProvider gets an empty name, in this order: the name set
// here (the C API's lumodez_set_provider_library, dezsign --provider), else the
// environment variable LUMODEZ_PROVIDER (read at each load), else the default
// ("spki1.dll" / "libspki1.so"); setting an empty name goes back to the variable or the
// default. A plain file name is found by the platform loader's search, a path is loaded as
// it is. A failed load's message names the file that was tried (on Windows the default
// name keeps the bare system text). ProviderLibraryName tells the name a load would use.
void SetProviderLibraryName(const std::string& name);
std::string ProviderLibraryName();
// How many times a library has been loaded successfully in this process (diagnostics and
// tests: concurrent first calls must load once).
uint32_t ProviderLoadCount();

// Class-level operations; every failure raises Lumo::Base::ESignaturaError.
class TSignatura {
 public:
  static uint32_t Initialize(const Lumo::Base::AnsiString& profileName, uint32_t flags);
  static void Uninitialize(uint32_t context);
  static Lumo::Base::ByteString SignDetached(uint32_t context, const Lumo::Base::ByteString& data,
                                             uint32_t flags);
  static void VerifyDetached(uint32_t context, const Lumo::Base::ByteString& data,
                             const Lumo::Base::ByteString& signature, uint32_t flags);
  static std::string ErrorText(uint32_t status);
  static void CheckResult(uint32_t status, const std::string& functionName);
  static Lumo::Base::ESignaturaError CreateCode(uint32_t status, const std::string& functionName);
};

}  // namespace Lumo::Provider
