// File names carried as wide text.
//
// POSIX file names are bytes and need not be UTF-8 (names copied from a Windows share are
// often windows-1251). Bytes that do not form UTF-8 travel as the lone surrogates
// U+DC80..U+DCFF (one per byte) and become those bytes again on the way back, so every
// name survives the wide-text parameters unchanged. Windows: the ANSI code page, as
// AnsiToWide and WideToAnsi.
#pragma once

#include <string>
#include <string_view>

#include "base/types.h"

namespace Lumo::Base {

WideString WideFromFileName(std::string_view name);
AnsiString FileNameFromWide(WideView name);

// The name for a message (UTF-8): bytes that are not UTF-8 and control characters are
// shown as \xNN, so no name can garble a terminal or a log line.
std::string FileNameForMessage(std::string_view name);

}  // namespace Lumo::Base
