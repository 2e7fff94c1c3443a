// Small file helpers of the dezsign tool.
#pragma once

#include <string>

#include "util/types.h"

namespace DezsignTool {

// XML file bytes as wide text, decoded as a file load would: byte order mark, else the
// declaration's encoding, else UTF-8. Unknown encodings throw std::runtime_error.
Lumo::WideString DecodeXmlText(const std::string& bytes);

// A temporary file name that is removed with the object.
struct TempFile {
  TempFile();
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path;
};

}  // namespace DezsignTool
