// XML file bytes as text, in the encoding a file load would find: for callers that hand
// a file's document to a call that takes text (the Profile object's file calls).
#pragma once

#include <string>
#include <string_view>

#include "base/types.h"

namespace Lumo::Dom {

// XML file bytes as wide text, in the encoding a file load would find (byte order mark,
// UTF-16 by its first characters, the declaration's encoding, else UTF-8). Unknown
// encodings and UTF-16 of an odd number of bytes throw std::runtime_error.
Lumo::Base::WideString DecodeXmlText(const std::string& bytes);

// The same text as standard UTF-8 (what WideFromUtf8 of it gives DecodeXmlText's text):
// a view into bytes, without the byte order mark, where they are UTF-8 already, else the
// text converted into `converted`. A character a UTF-16 text leaves half (a lone
// surrogate) stays as its own three-byte sequence, which the parser refuses as it refuses
// the unit in wide text. The same errors as DecodeXmlText.
std::string_view Utf8XmlText(const std::string& bytes, std::string& converted);

}  // namespace Lumo::Dom
