#include "util/version.h"

namespace Lumo {
const char* LibraryVersion() noexcept { return "1.0.0"; }
}  // namespace Lumo
