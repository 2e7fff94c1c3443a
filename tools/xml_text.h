// Small file helpers of the dezsign tool.
#pragma once

#include <functional>
#include <string>

#include "base/types.h"

namespace Lumo::Tool {

// XML file bytes as wide text, in the encoding a file load would find (byte order mark,
// UTF-16 by its first characters, the declaration's encoding, else UTF-8). Unknown
// encodings and UTF-16 of an odd number of bytes throw std::runtime_error.
Lumo::Base::WideString DecodeXmlText(const std::string& bytes);

// The bytes that write(fileName) puts into the file it is given, kept in memory: nothing
// is staged on disk. POSIX: the file is a pipe drained by a thread; Windows: a temporary
// file removed afterwards. Exceptions of write pass through.
std::string CaptureFileOutput(const std::function<void(const std::string& fileName)>& write);

}  // namespace Lumo::Tool
