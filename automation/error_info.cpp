#include "automation/error_info.h"

#include <cstdio>
#include <exception>
#include <new>

#include "base/encoding.h"
#include "base/errors.h"

namespace Lumo::Automation {

using Lumo::Base::EDocumentRefused;
using Lumo::Base::ELumoException;
using Lumo::Base::EPlatformError;
using Lumo::Base::ESignaturaError;
using Lumo::Base::EXmlParserError;
using Lumo::Base::kE_UNEXPECTED;
using Lumo::Base::WideFromUtf8;

const Guid IID_ICBRSign = {
    0x733F15ED, 0xDAF6, 0x419C, {0xA1, 0x22, 0x1F, 0x0D, 0x1C, 0xF9, 0xFA, 0x58}};
const Guid IID_IProfile = {
    0x25033B17, 0x7135, 0x4FA5, {0x9D, 0x6B, 0x27, 0x36, 0x20, 0xC5, 0xFA, 0xC5}};
const ErrorSource DEZSignErrors = {IID_ICBRSign, u"LumoDEZLib.DEZSign"};
const ErrorSource ProfileErrors = {IID_IProfile, u"LumoDEZLib.Profile"};

std::string GuidToString(const Guid& g) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buffer;
}

namespace {
thread_local ErrorInfo t_info;
thread_local bool t_hasInfo = false;
}  // namespace

const ErrorInfo* LastErrorInfo() noexcept { return t_hasInfo ? &t_info : nullptr; }

void ClearErrorInfo() noexcept { t_hasInfo = false; }

int32_t ConvertCurrentException(const ErrorSource& source) noexcept {
  int32_t status = kE_UNEXPECTED;
  try {
    t_info = ErrorInfo{};
    t_info.guid = source.iid;
    t_info.source = source.progId;
    try {
      throw;
    } catch (const EPlatformError& e) {
      if (e.ErrorCode < 0) status = e.ErrorCode;
      t_info.description = WideFromUtf8(e.Message());
      t_info.helpContext = e.HelpContext();
      t_info.kind = ErrorKind::Platform;
    } catch (const EXmlParserError& e) {
      t_info.description = WideFromUtf8(e.Message());
      t_info.helpContext = e.HelpContext();
      t_info.kind = ErrorKind::XmlParser;
      t_info.xmlErrorCode = e.ErrorCode;
    } catch (const ESignaturaError& e) {
      t_info.description = WideFromUtf8(e.Message());
      t_info.helpContext = e.HelpContext();
      t_info.kind = ErrorKind::Provider;
      t_info.functionName = e.FunctionName;
      t_info.providerStatus = e.Status;
      // A status of the verify call (directly, or the failing signers' texts) is the
      // provider's answer about the signature.
      t_info.refused =
          e.Status != 0 && (e.FunctionName.empty() || e.FunctionName == "VCERT_CmsBlkDetVerifyMem");
    } catch (const EDocumentRefused& e) {
      t_info.description = WideFromUtf8(e.Message());
      t_info.helpContext = e.HelpContext();
      t_info.refused = true;
    } catch (const ELumoException& e) {
      t_info.description = WideFromUtf8(e.Message());
      t_info.helpContext = e.HelpContext();
    } catch (const std::bad_alloc&) {
      // Outside the library's own family; say what happened rather than nothing.
      t_info.description = u"Out of memory";
    } catch (const std::exception& e) {
      t_info.description = WideFromUtf8(e.what());
    } catch (...) {
    }
    t_info.status = status;
    t_hasInfo = true;
  } catch (...) {
    // Building the information failed (out of memory): the status alone must do.
    t_hasInfo = false;
  }
  return status;
}

}  // namespace Lumo::Automation
