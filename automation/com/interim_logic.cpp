// Stand-in bodies for AXCBRSign::TCBRSign and AXProfile::TProfile, compiled only while
// automation/cbr_sign.cpp and automation/ax_profile.cpp have not landed, so that the
// server frame can be built and tested on its own. Every working call fails with a
// library error; the settings behave as specified.
#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "util/errors.h"

namespace AXCBRSign {
int32_t TCBRSign::SignFile(Lumo::WideView, Lumo::WideView, Lumo::WideView, int32_t) {
  return AX::Guarded(AX::DEZSignErrors, [] { throw Lumo::ELumoDEZError("Ядро подписи ещё не собрано"); });
}
int32_t TCBRSign::SignXml(Lumo::WideView, Lumo::WideView, int32_t, Lumo::WideString& value) {
  value.clear();
  return AX::Guarded(AX::DEZSignErrors, [] { throw Lumo::ELumoDEZError("Ядро подписи ещё не собрано"); });
}
int32_t TCBRSign::get_TestMode(int16_t& v) const { v = AX::ToVariantBool(TestMode); return 0; }
int32_t TCBRSign::put_TestMode(int16_t v) { TestMode = v != 0; return 0; }
int32_t TCBRSign::OpenProfile(Lumo::WideView, void** v) { if (v) *v = nullptr; return 0; }
int32_t TCBRSign::CloseProfile(Lumo::WideView) { return 0; }
int32_t TCBRSign::get_Silent(int16_t& v) const { v = AX::ToVariantBool(Silent); return 0; }
int32_t TCBRSign::put_Silent(int16_t v) { Silent = v != 0; return 0; }
}  // namespace AXCBRSign

namespace DEZ::Sign { class TProfile {}; }

namespace AXProfile {
TProfile::TProfile() = default;
TProfile::~TProfile() = default;
int32_t TProfile::Sign(Lumo::WideView, int32_t, Lumo::WideString& value) {
  value.clear();
  return AX::Guarded(AX::ProfileErrors, [] { throw Lumo::ELumoDEZError("Профиль не открыт"); });
}
int32_t TProfile::Open() {
  return AX::Guarded(AX::ProfileErrors, [] { throw Lumo::ELumoDEZError("Ядро подписи ещё не собрано"); });
}
int32_t TProfile::Close() {
  return AX::Guarded(AX::ProfileErrors, [] { throw Lumo::ELumoDEZError("Профиль не открыт"); });
}
int32_t TProfile::get_Name(Lumo::WideString& v) const { v.assign(name_.begin(), name_.end()); return 0; }
int32_t TProfile::put_Name(Lumo::WideView v) { name_.assign(v.begin(), v.end()); return 0; }
int32_t TProfile::get_TestMode(int16_t& v) const { v = AX::ToVariantBool(testMode_); return 0; }
int32_t TProfile::put_TestMode(int16_t v) { testMode_ = v != 0; return 0; }
int32_t TProfile::get_Keyload(int32_t& v) const { v = keyload_; return 0; }
int32_t TProfile::put_Keyload(int32_t v) { keyload_ = static_cast<uint8_t>(v); return 0; }
}  // namespace AXProfile
