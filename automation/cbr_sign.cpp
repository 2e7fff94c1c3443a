#include "automation/cbr_sign.h"

#include "automation/error_info.h"
#include "base/encoding.h"
#include "base/file_name.h"
#include "sign/signer.h"

namespace Lumo::Automation {

int32_t TCBRSign::SignFile(Lumo::Base::WideView inputFileName, Lumo::Base::WideView outputFileName,
                           Lumo::Base::WideView profile, int32_t action) {
  return Lumo::Automation::Guarded(Lumo::Automation::DEZSignErrors, [&] {
    Lumo::Sign::TCBRSigner signer(TestMode);
    signer.Silent = Silent;
    const Lumo::Base::AnsiString output = Lumo::Base::FileNameFromWide(outputFileName);
    const Lumo::Base::AnsiString input = Lumo::Base::FileNameFromWide(inputFileName);
    const Lumo::Base::AnsiString name = Lumo::Base::WideToAnsi(profile);
    signer.SignFile(name, input, output, static_cast<uint8_t>(action));
  });
}

int32_t TCBRSign::SignXml(Lumo::Base::WideView inputXml, Lumo::Base::WideView profile, int32_t action,
                          Lumo::Base::WideString& value) {
  value.clear();
  return Lumo::Automation::Guarded(Lumo::Automation::DEZSignErrors, [&] {
    Lumo::Sign::TCBRSigner signer(TestMode);
    signer.Silent = Silent;
    Lumo::Base::WideString result;
    signer.SignXml(profile, inputXml, static_cast<uint8_t>(action), result);
    value = std::move(result);
  });
}

int32_t TCBRSign::get_TestMode(int16_t& value) const {
  value = Lumo::Automation::ToVariantBool(TestMode);
  return 0;
}

int32_t TCBRSign::put_TestMode(int16_t value) {
  TestMode = value != 0;
  return 0;
}

int32_t TCBRSign::OpenProfile(Lumo::Base::WideView, void** value) {
  if (value) *value = nullptr;
  return 0;
}

int32_t TCBRSign::CloseProfile(Lumo::Base::WideView) { return 0; }

int32_t TCBRSign::get_Silent(int16_t& value) const {
  value = Lumo::Automation::ToVariantBool(Silent);
  return 0;
}

int32_t TCBRSign::put_Silent(int16_t value) {
  Silent = value != 0;
  return 0;
}

}  // namespace Lumo::Automation
