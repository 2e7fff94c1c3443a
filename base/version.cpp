#include "base/version.h"

namespace Lumo::Base {
const char* LibraryVersion() noexcept { return "1.0.0"; }
}  // namespace Lumo::Base
