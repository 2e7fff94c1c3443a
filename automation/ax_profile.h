// The Profile object's logic (ProgID "LumoDEZLib.Profile", interface IProfile): one key
// profile held open across many Sign calls. Usable without the Windows server frame;
// every operation returns a 32-bit status and leaves error information on failure.
#pragma once

#include <cstdint>
#include <memory>

#include "base/types.h"

namespace Lumo::Sign {
class TProfile;
}

namespace Lumo::Automation {

class TProfile {
 public:
  TProfile();
  ~TProfile();  // frees the key profile, which closes it fully if still open
  TProfile(const TProfile&) = delete;
  TProfile& operator=(const TProfile&) = delete;

  // value is emptied first and stays empty on failure.
  int32_t Sign(Lumo::Base::WideView xml, int32_t action, Lumo::Base::WideString& value);
  int32_t Open();
  int32_t Close();
  int32_t get_Name(Lumo::Base::WideString& value) const;
  int32_t put_Name(Lumo::Base::WideView value);
  int32_t get_TestMode(int16_t& value) const;
  int32_t put_TestMode(int16_t value);
  int32_t get_Keyload(int32_t& value) const;
  int32_t put_Keyload(int32_t value);

  // The held key profile, created by the first Open (null before).
  Lumo::Sign::TProfile* KeyProfile() const noexcept { return keyProfile_.get(); }

 private:
  Lumo::Base::AnsiString name_;
  std::unique_ptr<Lumo::Sign::TProfile> keyProfile_;
  bool testMode_ = false;
  uint8_t keyload_ = Lumo::Base::klDefault;
};

}  // namespace Lumo::Automation
