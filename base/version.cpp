#include "base/version.h"

#include "lumo_version.h"

namespace Lumo::Base {
const char* LibraryVersion() noexcept { return LUMO_VERSION_TEXT; }
}  // namespace Lumo::Base
