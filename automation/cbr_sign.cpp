#include "automation/cbr_sign.h"

#include "automation/error_info.h"
#include "base/encoding.h"
#include "base/file_name.h"
#include "sign/profile.h"
#include "sign/signer.h"

namespace Lumo::Automation {

using Lumo::Base::AnsiString;
using Lumo::Base::FileNameFromWide;
using Lumo::Base::WideString;
using Lumo::Base::WideToAnsi;
using Lumo::Base::WideView;
using Lumo::Sign::TCBRSigner;

int32_t TCBRSign::SignFile(WideView inputFileName, WideView outputFileName, WideView profile,
                           int32_t action) {
  return Guarded(DEZSignErrors, [&] {
    Lumo::Sign::ForgetVerifiedSigners();
    TCBRSigner signer(TestMode);
    signer.Silent = Silent;
    const AnsiString output = FileNameFromWide(outputFileName);
    const AnsiString input = FileNameFromWide(inputFileName);
    const AnsiString name = WideToAnsi(profile);
    signer.SignFile(name, input, output, static_cast<uint8_t>(action));
  });
}

int32_t TCBRSign::SignXml(WideView inputXml, WideView profile, int32_t action, WideString& value) {
  value.clear();
  return Guarded(DEZSignErrors, [&] {
    Lumo::Sign::ForgetVerifiedSigners();
    TCBRSigner signer(TestMode);
    signer.Silent = Silent;
    WideString result;
    signer.SignXml(profile, inputXml, static_cast<uint8_t>(action), result);
    value = std::move(result);
  });
}

int32_t TCBRSign::SignXmlUtf8(std::string_view inputXml, WideView profile, int32_t action,
                              const std::function<void(std::string_view)>& sink,
                              std::string* release) {
  return Guarded(DEZSignErrors, [&] {
    Lumo::Sign::ForgetVerifiedSigners();
    TCBRSigner signer(TestMode);
    signer.Silent = Silent;
    signer.SignXmlUtf8(profile, inputXml, static_cast<uint8_t>(action), sink, release);
  });
}

int32_t TCBRSign::get_TestMode(int16_t& value) const {
  value = ToVariantBool(TestMode);
  return 0;
}

int32_t TCBRSign::put_TestMode(int16_t value) {
  TestMode = value != 0;
  return 0;
}

int32_t TCBRSign::OpenProfile(WideView, void** value) {
  if (value) *value = nullptr;
  return 0;
}

int32_t TCBRSign::CloseProfile(WideView) { return 0; }

int32_t TCBRSign::get_Silent(int16_t& value) const {
  value = ToVariantBool(Silent);
  return 0;
}

int32_t TCBRSign::put_Silent(int16_t value) {
  Silent = value != 0;
  return 0;
}

}  // namespace Lumo::Automation
