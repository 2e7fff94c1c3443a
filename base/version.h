#pragma once

namespace Lumo::Base {
// "major.minor.patch" of the library, for --version and the C API.
const char* LibraryVersion() noexcept;
}  // namespace Lumo::Base
