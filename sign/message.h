// Error messages are UTF-8 inside the library, while file names, profile names and the
// system's own texts arrive as ANSI text; this is the one place that bridges the two.
#pragma once

#include <string>

#include "base/encoding.h"
#include "base/types.h"

namespace Lumo::Sign {

// An ANSI text (a file or profile name, a system message) as it stands in a UTF-8 message.
inline std::string InMessage(const Lumo::Base::AnsiString& ansi) {
  return Lumo::Base::Utf8FromWide(Lumo::Base::AnsiToWide(ansi));
}

}  // namespace Lumo::Sign
