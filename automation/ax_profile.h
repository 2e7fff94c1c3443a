// The Profile object's logic (ProgID "LumoDEZLib.Profile", interface IProfile): one key
// profile held open across many Sign calls. Usable without the Windows server frame;
// every operation returns a 32-bit status and leaves error information on failure.
#pragma once

#include <cstdint>
#include <memory>

#include "util/types.h"

namespace DEZ::Sign {
class TProfile;
}

namespace AXProfile {

class TProfile {
 public:
  TProfile();
  ~TProfile();  // frees the key profile, which closes it fully if still open
  TProfile(const TProfile&) = delete;
  TProfile& operator=(const TProfile&) = delete;

  // value is emptied first and stays empty on failure.
  int32_t Sign(Lumo::WideView xml, int32_t action, Lumo::WideString& value);
  int32_t Open();
  int32_t Close();
  int32_t get_Name(Lumo::WideString& value) const;
  int32_t put_Name(Lumo::WideView value);
  int32_t get_TestMode(int16_t& value) const;
  int32_t put_TestMode(int16_t value);
  int32_t get_Keyload(int32_t& value) const;
  int32_t put_Keyload(int32_t value);

  // The held key profile, created by the first Open (null before).
  DEZ::Sign::TProfile* KeyProfile() const noexcept { return keyProfile_.get(); }

 private:
  Lumo::AnsiString name_;
  std::unique_ptr<DEZ::Sign::TProfile> keyProfile_;
  bool testMode_ = false;
  uint8_t keyload_ = Lumo::klDefault;
};

}  // namespace AXProfile
