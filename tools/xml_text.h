// Small file helpers of the dezsign tool.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/types.h"
#include "dom/xml_text.h"

namespace Lumo::Tool {

// The text of XML file bytes (DecodeXmlText, Utf8XmlText) comes from the loader's side.
using Lumo::Dom::DecodeXmlText;
using Lumo::Dom::Utf8XmlText;

class Spool;
// The bytes that write(fileName) puts into the file it is given, handed to the spool.
// POSIX: the file is a pipe drained by a thread; Windows: a temporary file removed
// afterwards. Exceptions of write pass through, then those of the spool.
void CaptureFileOutput(const std::function<void(const std::string& fileName)>& write, Spool& into);

}  // namespace Lumo::Tool
