// The Profile object's logic (ProgID "LumoDEZLib.Profile", interface IProfile): one key
// profile held open across many Sign calls. Usable without the Windows server frame;
// every operation returns a 32-bit status and leaves error information on failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

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
  // Sign on standard UTF-8 text (checked by the caller): the same result and errors, the
  // result as standard UTF-8 handed to sink piece by piece. On failure the caller drops
  // whatever the sink was given.
  // release: the caller's buffer holding xml, emptied once the input is read.
  int32_t SignUtf8(std::string_view xml, int32_t action,
                   const std::function<void(std::string_view)>& sink,
                   std::string* release = nullptr);
  // The document of a file, read as a file load reads it (byte order mark, else the
  // declaration's encoding, else UTF-8), through SignUtf8 into the output file (UTF-8),
  // written as the DEZSign object writes its files: only once the whole result is ready,
  // in place of the old file; on failure an existing output is left as it was. File names
  // are passed to the system as given.
  int32_t SignFile(const Lumo::Base::AnsiString& inputFileName,
                   const Lumo::Base::AnsiString& outputFileName, int32_t action);
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
