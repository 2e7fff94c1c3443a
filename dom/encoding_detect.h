// Which encoding a document's bytes are in, by the rules a load applies: a byte order
// mark, else UTF-16 recognised by its first characters "<?", else the encoding the XML
// declaration names, else UTF-8. Whoever decodes document bytes outside a load (the
// command line tool reading standard input) asks here, so that both read them alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Lumo::Dom {

struct DetectedEncoding {
  enum Kind {
    kUtf8,
    kUtf16LE,
    kUtf16BE,
    kCodePage,     // a single-byte code page with a built-in table (codePage)
    kUnsupported,  // the declaration names an encoding we do not know
    kSwitch,       // the declaration names UTF-16, but the bytes do not begin as UTF-16
  };
  Kind kind = kUtf8;
  size_t bomLength = 0;  // bytes of the byte order mark, which are not text
  uint32_t codePage = 65001;
  bool declared = false;  // the declaration names the encoding
  // Where the declared name begins; namePos == nameEnd when no name was read.
  size_t namePos = 0;
  size_t nameEnd = 0;
};

DetectedEncoding DetectEncoding(std::string_view bytes) noexcept;

}  // namespace Lumo::Dom
