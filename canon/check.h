// Agreement by construction: in a build configured with -DLUMO_CANON_CHECK=ON every
// answer a shortcut gives is taken again the reference way (reference.h) and the process
// aborts on any difference, so that every test and every fuzz input is a differential
// case. In other builds kCheckShortcuts is false and the checks compile away.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/types.h"

namespace Lumo::Canon {

#ifdef LUMO_CANON_CHECK
inline constexpr bool kCheckShortcuts = true;
#else
inline constexpr bool kCheckShortcuts = false;
#endif

namespace Check {

// Takes the reference bytes and aborts, with a report on stderr, unless they are the
// shortcut's: the shortcut's name, the size of its input (bytes of a text, UTF-16 units
// of a tree's markup), the first differing offset and both texts around it. A reference
// that fails (throws) where the shortcut answered is a difference too.
void Agrees(const char* shortcut, size_t inputSize, std::string_view taken,
            const std::function<Lumo::Base::ByteString()>& reference);

// The report Agrees writes before it aborts (empty where the two agree).
std::string Disagreement(const char* shortcut, size_t inputSize, std::string_view taken,
                         std::string_view reference);

}  // namespace Check
}  // namespace Lumo::Canon
