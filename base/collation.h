// Case-insensitive comparison "in the user's locale".
//
// Windows: the platform's CompareStringW / CompareStringA on LOCALE_USER_DEFAULT with
// NORM_IGNORECASE. POSIX has no such locale service that matches it, so a built-in
// collation stands in (see collation.cpp): white space, controls, ASCII punctuation and
// symbols sort before digits, digits before letters, Latin letters before Cyrillic ones,
// letters compared without case (Latin, Latin-1 accents, Greek and Cyrillic folded,
// Ё/ё included). The result is a total order that is 0 only for strings that are equal
// ignoring case.
#pragma once

#include <string_view>

#include "base/types.h"

namespace Lumo::Base {

// Negative, 0 or positive.
int CompareWideIgnoreCase(WideView a, WideView b);
// ANSI text (see encoding.h): Windows CompareStringA; POSIX converts with AnsiToWide
// (pure ASCII is compared without converting) and uses CompareWideIgnoreCase.
int CompareAnsiIgnoreCase(std::string_view a, std::string_view b);

// Simple one-to-one lower-case folding of one UTF-16 code unit (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic); other units are returned unchanged. The same
// folding on every platform; used for rfIgnoreCase in WideStringReplace.
char16_t FoldCaseWide(char16_t c) noexcept;

}  // namespace Lumo::Base
