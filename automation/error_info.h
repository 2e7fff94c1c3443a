// The error conversion at the automation boundary: every operation of the two
// objects runs inside a guard that turns an exception into a 32-bit status and leaves
// error information (description, source, interface GUID) for the calling thread.
// The Windows server hands that information to the platform (SetErrorInfo); the C API
// and other portable callers read it with LastErrorInfo().
#pragma once

#include <cstdint>
#include <string>

#include "base/types.h"

namespace Lumo::Automation {

struct Guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

// "{733F15ED-DAF6-419C-A122-1F0D1CF9FA58}": upper case, in braces.
std::string GuidToString(const Guid& guid);

// Who reports an error: the interface's IID and the class's ProgID.
struct ErrorSource {
  Guid iid;
  const char16_t* progId;
};

extern const Guid IID_ICBRSign;
extern const Guid IID_IProfile;
extern const ErrorSource DEZSignErrors;  // IID_ICBRSign, "LumoDEZLib.DEZSign"
extern const ErrorSource ProfileErrors;  // IID_IProfile, "LumoDEZLib.Profile"

// Which family the error came from, for callers that tell them apart (the C API).
enum class ErrorKind : int32_t { Library = 1, XmlParser = 2, Provider = 3, Platform = 4 };

struct ErrorInfo {
  Guid guid{};
  Lumo::Base::WideString source;
  Lumo::Base::WideString description;
  int32_t helpContext = 0;
  int32_t status = 0;
  ErrorKind kind = ErrorKind::Library;
  int32_t xmlErrorCode = 0;     // XmlParser: the parser's code
  std::string functionName;     // Provider: the entry point whose status failed, or empty
  uint32_t providerStatus = 0;  // Provider: the status, when the error came from one
  // The document was refused by a check (a signature the provider rejected, an envelope
  // with a part missing or twice), as against a failure to check it.
  bool refused = false;
};

// The error information of the last failed guarded call on this thread, or null when
// the last guarded call succeeded (each guarded call clears it first).
const ErrorInfo* LastErrorInfo() noexcept;
void ClearErrorInfo() noexcept;

// Runs body; returns 0, or E_UNEXPECTED (0x8000FFFF), or the negative status of a
// platform error. Never lets an exception escape.
template <class Body>
int32_t Guarded(const ErrorSource& source, Body&& body) noexcept;

// Implementation detail of Guarded: records the exception in flight.
int32_t ConvertCurrentException(const ErrorSource& source) noexcept;

template <class Body>
int32_t Guarded(const ErrorSource& source, Body&& body) noexcept {
  ClearErrorInfo();
  try {
    body();
    return 0;
  } catch (...) {
    return ConvertCurrentException(source);
  }
}

// Automation booleans: VARIANT_TRUE is -1; any non-zero value written means true.
inline int16_t ToVariantBool(bool value) noexcept { return value ? -1 : 0; }

}  // namespace Lumo::Automation
