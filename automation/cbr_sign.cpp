#include "automation/cbr_sign.h"

#include "automation/error_info.h"
#include "sign/signer.h"
#include "util/encoding.h"
#include "util/file_name.h"

namespace AXCBRSign {

int32_t TCBRSign::SignFile(Lumo::WideView inputFileName, Lumo::WideView outputFileName,
                           Lumo::WideView profile, int32_t action) {
  return AX::Guarded(AX::DEZSignErrors, [&] {
    DEZ::Sign::TCBRSigner signer(TestMode);
    signer.Silent = Silent;
    const Lumo::AnsiString output = Lumo::FileNameFromWide(outputFileName);
    const Lumo::AnsiString input = Lumo::FileNameFromWide(inputFileName);
    const Lumo::AnsiString name = Lumo::WideToAnsi(profile);
    signer.SignFile(name, input, output, static_cast<uint8_t>(action));
  });
}

int32_t TCBRSign::SignXml(Lumo::WideView inputXml, Lumo::WideView profile, int32_t action,
                          Lumo::WideString& value) {
  value.clear();
  return AX::Guarded(AX::DEZSignErrors, [&] {
    DEZ::Sign::TCBRSigner signer(TestMode);
    signer.Silent = Silent;
    Lumo::WideString result;
    signer.SignXml(profile, inputXml, static_cast<uint8_t>(action), result);
    value = std::move(result);
  });
}

int32_t TCBRSign::get_TestMode(int16_t& value) const {
  value = AX::ToVariantBool(TestMode);
  return 0;
}

int32_t TCBRSign::put_TestMode(int16_t value) {
  TestMode = value != 0;
  return 0;
}

int32_t TCBRSign::OpenProfile(Lumo::WideView, void** value) {
  if (value) *value = nullptr;
  return 0;
}

int32_t TCBRSign::CloseProfile(Lumo::WideView) { return 0; }

int32_t TCBRSign::get_Silent(int16_t& value) const {
  value = AX::ToVariantBool(Silent);
  return 0;
}

int32_t TCBRSign::put_Silent(int16_t value) {
  Silent = value != 0;
  return 0;
}

}  // namespace AXCBRSign
