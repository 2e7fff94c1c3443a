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

#include "base/encoding.h"
#include "canon/canonical.h"
#include "dom/xml_helpers.h"
#include "tools/command.h"

namespace Lumo::Tool {
namespace {

constexpr const char* kUsage = "  dezsign canon [--numbered] FILE   (FILE \"-\": standard input)";

// The file's fixed-prefix canonical text, taken as it is parsed (the document is never
// held as one tree), and whether it is settled.
Lumo::Base::ByteString FixedText(const std::string& path, bool& settled) {
  std::string bytes;
  Lumo::Canon::DocumentLoader load;
  if (path == "-") {
    bytes = ReadInput(path);
    load = [&bytes](Lumo::Dom::RootChildHandler handler) {
      return Lumo::Dom::LoadXmlBytes(bytes, std::move(handler));
    };
  } else {
    RequireReadableInput(path);  // a missing or unreadable file gets the tool's own message
    load = [&path](Lumo::Dom::RootChildHandler handler) {
      return Lumo::Dom::LoadXmlFile(path, std::move(handler));
    };
  }
  std::optional<Lumo::Base::ByteString> c0 = Lumo::Canon::FixedTextOfLoaded(load, settled);
  if (!c0) throw std::runtime_error("\"" + path + "\" has no document element");
  return std::move(*c0);
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
  bool settled = false;
  Lumo::Base::ByteString c0 = FixedText(path, settled);
  if (!numbered) {
    WriteStdout(c0);
    return kExitOk;
  }
  WriteStdout(Lumo::Canon::RootFormOfInputText(std::move(c0), settled, true).signedBytes);
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
