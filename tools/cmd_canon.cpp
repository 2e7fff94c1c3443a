// dezsign canon [--numbered] FILE: the exact canonical bytes of a document.
//
// Without --numbered: the fixed-prefix canonical text of the file's document element,
// the form in which the library handles documents. With --numbered: the bytes that the
// Root action signs, taken the same way the key profile takes them (the document parsed
// back from its fixed-prefix text, brought into fixed-prefix form once more and parsed
// again, then its numbered-prefix canonical text). UTF-8 exactly as signed, no
// declaration, no trailing newline.
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/types.h"
#include "sign/document_input.h"
#include "tools/command.h"

namespace Lumo::Tool {
namespace {

constexpr const char* kUsage = "  dezsign canon [--numbered] FILE   (FILE \"-\": standard input)";

// The file's canonical text (see Lumo::Sign::CanonicalTextOf): standard input is read
// whole first, a file is taken as it is parsed.
Lumo::Base::ByteString CanonicalText(const std::string& path, bool numbered) {
  std::string bytes;
  std::optional<Lumo::Base::ByteString> text;
  if (path == "-") {
    bytes = ReadInput(path);
    text = Lumo::Sign::CanonicalTextOf(Lumo::Sign::DocumentInput::FileBytes(bytes), numbered);
  } else {
    RequireReadableInput(path);  // a missing or unreadable file gets the tool's own message
    text = Lumo::Sign::CanonicalTextOf(Lumo::Sign::DocumentInput::File(path), numbered);
  }
  if (!text) throw std::runtime_error("\"" + path + "\" has no document element");
  return std::move(*text);
}

int RunCanon(const std::vector<std::string>& args) {
  bool numbered = false;
  std::string path;
  bool havePath = false;
  for (const std::string& a : args) {
    if (a == "--numbered" && !numbered && !havePath) {
      numbered = true;
    } else if (!havePath && (a == "-" || a.empty() || a[0] != '-')) {
      path = a;
      havePath = true;
    } else {
      std::fprintf(stderr, "dezsign: usage:\n%s\n", kUsage);
      return kExitUsage;
    }
  }
  if (!havePath || path.empty()) {
    std::fprintf(stderr, "dezsign: usage:\n%s\n", kUsage);
    return kExitUsage;
  }
  WriteStdout(CanonicalText(path, numbered));
  return kExitOk;
}

const CommandRegistrar kRegistrar({
    "canon",
    kUsage,
    "print the canonical text (the exact signed bytes with --numbered)",
    &RunCanon,
    20,
});

}  // namespace
}  // namespace Lumo::Tool
