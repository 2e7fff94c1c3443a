// The DEZSign object's logic (ProgID "LumoDEZLib.DEZSign", interface ICBRSign), usable
// without the Windows server frame. Every operation returns a 32-bit status and, on
// failure, leaves error information for the calling thread (automation/error_info.h).
//
// Nothing survives from one working call to the next: each SignFile / SignXml builds
// a fresh signer from the two settings and destroys it before returning.
#pragma once

#include <cstdint>

#include "util/types.h"

namespace AXCBRSign {

class TCBRSign {
 public:
  int32_t SignFile(Lumo::WideView inputFileName, Lumo::WideView outputFileName,
                   Lumo::WideView profile, int32_t action);
  // value is emptied first and stays empty on failure.
  int32_t SignXml(Lumo::WideView inputXml, Lumo::WideView profile, int32_t action,
                  Lumo::WideString& value);

  int32_t get_TestMode(int16_t& value) const;
  int32_t put_TestMode(int16_t value);
  // Both only succeed: this object keeps no profile open between calls.
  int32_t OpenProfile(Lumo::WideView name, void** value);
  int32_t CloseProfile(Lumo::WideView name);
  int32_t get_Silent(int16_t& value) const;
  int32_t put_Silent(int16_t value);

  bool TestMode = false;
  bool Silent = false;
};

}  // namespace AXCBRSign
