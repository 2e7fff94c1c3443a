// The DEZSign object's logic (ProgID "LumoDEZLib.DEZSign", interface ICBRSign), usable
// without the Windows server frame. Every operation returns a 32-bit status and, on
// failure, leaves error information for the calling thread (automation/error_info.h).
//
// Nothing survives from one working call to the next: each SignFile / SignXml builds
// a fresh signer from the two settings and destroys it before returning.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "base/types.h"

namespace Lumo::Automation {

class TCBRSign {
 public:
  int32_t SignFile(Lumo::Base::WideView inputFileName, Lumo::Base::WideView outputFileName,
                   Lumo::Base::WideView profile, int32_t action);
  // value is emptied first and stays empty on failure.
  int32_t SignXml(Lumo::Base::WideView inputXml, Lumo::Base::WideView profile, int32_t action,
                  Lumo::Base::WideString& value);

  // SignXml on standard UTF-8 text (checked by the caller): the same result and errors,
  // the result as standard UTF-8 handed to sink piece by piece. On failure the caller
  // drops whatever the sink was given.
  // release: the caller's buffer holding inputXml, emptied once the input is read.
  int32_t SignXmlUtf8(std::string_view inputXml, Lumo::Base::WideView profile, int32_t action,
                      const std::function<void(std::string_view)>& sink,
                      std::string* release = nullptr);

  int32_t get_TestMode(int16_t& value) const;
  int32_t put_TestMode(int16_t value);
  // Both only succeed: this object keeps no profile open between calls.
  int32_t OpenProfile(Lumo::Base::WideView name, void** value);
  int32_t CloseProfile(Lumo::Base::WideView name);
  int32_t get_Silent(int16_t& value) const;
  int32_t put_Silent(int16_t value);

  bool TestMode = false;
  bool Silent = false;
};

}  // namespace Lumo::Automation
