// The binding to the crypto provider library, loaded at run time on first use:
// "spki1.dll" on Windows, "libspki1.so" through the dynamic loader elsewhere.
#pragma once

#include <cstdint>
#include <string>

#include "util/errors.h"
#include "util/types.h"

namespace Signatura {

// Process-wide binding state (unit API6). Loading is guarded by a lock.
bool LoadProvider(const std::string& name);  // empty: the default library name
void UnloadProvider();
bool ProviderLoaded();
std::string ProviderLoadError();
// The library name used when LoadProvider gets an empty name (tests point it elsewhere).
void SetProviderLibraryName(const std::string& name);
std::string ProviderLibraryName();

// Class-level operations; every failure raises Lumo::ESignaturaError.
class TSignatura {
 public:
  static uint32_t Initialize(const Lumo::AnsiString& profileName, uint32_t flags);
  static void Uninitialize(uint32_t context);
  static Lumo::ByteString SignDetached(uint32_t context, const Lumo::ByteString& data,
                                       uint32_t flags);
  static void VerifyDetached(uint32_t context, const Lumo::ByteString& data,
                             const Lumo::ByteString& signature, uint32_t flags);
  static std::string ErrorText(uint32_t status);
  static void CheckResult(uint32_t status, const std::string& functionName);
  static Lumo::ESignaturaError CreateCode(uint32_t status, const std::string& functionName);
};

}  // namespace Signatura
