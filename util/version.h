#pragma once

namespace Lumo {
// "major.minor.patch" of the library, for --version and the C API.
const char* LibraryVersion() noexcept;
}  // namespace Lumo
