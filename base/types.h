// Text forms and the small enumerations every layer shares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/actions.h"  // SignAction

namespace Lumo::Base {

// Wide text is UTF-16, one code unit per element, exactly as the automation
// boundary hands it over (BSTR on Windows).
using WideString = std::u16string;
using WideView = std::u16string_view;

// ANSI text: the calling thread's ANSI code page on Windows, UTF-8 on POSIX
// (see encoding.h). Also used as a plain byte container.
using AnsiString = std::string;

// Raw bytes: UTF-8 documents, signed data, signatures. Any byte value, zeros included.
using ByteString = std::string;

// Key-load mode of a key profile; stored as 8 bits, any value accepted.
enum Keyload : uint8_t {
  klDefault = 0,
  klSilent = 1,
  klLoud = 2,
};

// Every document a key profile returns starts with this declaration (38 characters,
// no line break after it), also when the text itself is handed back as wide text.
inline constexpr std::string_view XmlHeaderAnsi = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
inline constexpr std::u16string_view XmlHeader = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

}  // namespace Lumo::Base
