// The library's error family. Inside the library errors are exceptions of these
// kinds; the automation boundary turns them into a status code and error info.
//
// Messages are UTF-8 everywhere (lossless on every platform); the boundary converts
// them to wide text for the client.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace Lumo::Base {

// Common base: a message text and a help context (0 unless set).
class ELumoException : public std::exception {
 public:
  explicit ELumoException(std::string message, int32_t helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  int32_t HelpContext() const noexcept { return helpContext_; }

 private:
  std::string message_;
  int32_t helpContext_;
};

// Raised by the signing core with its Russian messages.
class ELumoDEZError : public ELumoException {
 public:
  using ELumoException::ELumoException;
};

// A document a check refuses (an envelope with a part missing or a part twice): what the
// caller must not act on, told apart from a failure to check.
class EDocumentRefused : public ELumoDEZError {
 public:
  using ELumoDEZError::ELumoDEZError;
};

// Base of the XML errors.
class EXmlException : public ELumoException {
 public:
  using ELumoException::ELumoException;
};

// A document that did not parse; ErrorCode is the parser's code (0 when unknown).
class EXmlParserError : public EXmlException {
 public:
  EXmlParserError(std::string message, int32_t errorCode)
      : EXmlException(std::move(message)), ErrorCode(errorCode) {}
  int32_t ErrorCode;
};

// A provider status turned into an error: "XXXXXXXX: provider text", and the entry
// point whose status caused it (empty when it did not come from a status), and the status
// itself (0 when the error did not come from one: a load failure, a missing entry point).
class ESignaturaError : public ELumoException {
 public:
  ESignaturaError(std::string message, std::string functionName, uint32_t status = 0)
      : ELumoException(std::move(message)), FunctionName(std::move(functionName)), Status(status) {}
  std::string FunctionName;
  uint32_t Status;
};

// A failing call into the platform or another component; carries its 32-bit status
// (HRESULT style: negative means failure).
class EPlatformError : public ELumoException {
 public:
  EPlatformError(std::string message, int32_t errorCode)
      : ELumoException(std::move(message)), ErrorCode(errorCode) {}
  int32_t ErrorCode;
};

// Wide string list misuse ("List index out of bounds (%d)", "Operation not allowed on sorted
// list").
class EListError : public ELumoException {
 public:
  using ELumoException::ELumoException;
};

// Status codes used across the library.
inline constexpr int32_t kS_OK = 0;
inline constexpr int32_t kS_FALSE = 1;
inline constexpr int32_t kE_UNEXPECTED = static_cast<int32_t>(0x8000FFFFu);
inline constexpr int32_t kE_NOINTERFACE = static_cast<int32_t>(0x80004002u);
inline constexpr int32_t kE_POINTER = static_cast<int32_t>(0x80004003u);
inline constexpr int32_t kE_FAIL = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t kE_INVALIDARG = static_cast<int32_t>(0x80070057u);

}  // namespace Lumo::Base
