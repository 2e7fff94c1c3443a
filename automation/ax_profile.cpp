#include "automation/ax_profile.h"

#include "automation/error_info.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "sign/profile.h"

namespace Lumo::Automation {

TProfile::TProfile() = default;
TProfile::~TProfile() = default;

// Sign and Close before the first Open have no key profile to work on.
static Lumo::Sign::TProfile& RequireKeyProfile(const std::unique_ptr<Lumo::Sign::TProfile>& p) {
  if (!p) throw Lumo::Base::ELumoDEZError("Профиль не открыт: сначала вызовите Open");
  return *p;
}

int32_t TProfile::Sign(Lumo::Base::WideView xml, int32_t action, Lumo::Base::WideString& value) {
  value.clear();
  return Lumo::Automation::Guarded(Lumo::Automation::ProfileErrors, [&] {
    Lumo::Base::WideString result;
    RequireKeyProfile(keyProfile_).SignXml(xml, static_cast<uint8_t>(action), result);
    value = std::move(result);
  });
}

int32_t TProfile::Open() {
  return Lumo::Automation::Guarded(Lumo::Automation::ProfileErrors, [&] {
    // Created once per object: a later change of Name does not reach it.
    if (!keyProfile_) keyProfile_ = std::make_unique<Lumo::Sign::TProfile>(nullptr, name_);
    keyProfile_->Keyload = keyload_;
    keyProfile_->TestMode = testMode_;
    keyProfile_->Open();
  });
}

int32_t TProfile::Close() {
  return Lumo::Automation::Guarded(Lumo::Automation::ProfileErrors, [&] { RequireKeyProfile(keyProfile_).Close(); });
}

int32_t TProfile::get_Name(Lumo::Base::WideString& value) const {
  value = Lumo::Base::AnsiToWide(name_);
  return 0;
}

int32_t TProfile::put_Name(Lumo::Base::WideView value) {
  name_ = Lumo::Base::WideToAnsi(value);
  return 0;
}

int32_t TProfile::get_TestMode(int16_t& value) const {
  value = Lumo::Automation::ToVariantBool(testMode_);
  return 0;
}

int32_t TProfile::put_TestMode(int16_t value) {
  testMode_ = value != 0;
  if (keyProfile_) keyProfile_->TestMode = testMode_;
  return 0;
}

int32_t TProfile::get_Keyload(int32_t& value) const {
  value = keyload_;
  return 0;
}

int32_t TProfile::put_Keyload(int32_t value) {
  keyload_ = static_cast<uint8_t>(value);
  return 0;
}

}  // namespace Lumo::Automation
