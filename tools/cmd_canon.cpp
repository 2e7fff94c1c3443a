// dezsign canon [--numbered] FILE: the exact canonical bytes of a document.
//
// Without --numbered: the fixed-prefix canonical text of the file's document element,
// the form in which the library handles documents. With --numbered: the bytes that the
// Root action signs, taken the same way the key profile takes them (the document parsed
// back from its fixed-prefix text, brought into fixed-prefix form once more and parsed
// again, then its numbered-prefix canonical text). UTF-8 exactly as signed, no
// declaration, no trailing newline.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "base/stream.h"
#include "canon/canonical.h"
#include "dom/xml_helpers.h"
#include "tools/command.h"

namespace Lumo::Tool {
namespace {

constexpr const char* kUsage = "  dezsign canon [--numbered] FILE   (FILE \"-\": standard input)";

Lumo::Dom::Node LoadRoot(const std::string& path) {
  Lumo::Dom::Node root;
  if (path == "-") {
    Lumo::Base::TMemoryStream stream;
    std::string bytes = ReadInput(path);
    stream.Write(bytes.data(), bytes.size());
    stream.SetPosition(0);
    root = Lumo::Dom::LoadXmlStream(stream);
  } else {
    RequireReadableInput(path);  // a missing or unreadable file gets the tool's own message
    root = Lumo::Dom::LoadXmlFile(path);
  }
  if (!root) throw std::runtime_error("\"" + path + "\" has no document element");
  return root;
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
  Lumo::Dom::Node root = LoadRoot(path);
  if (!numbered) {
    WriteStdout(Lumo::Canon::CanonicalText(root, Lumo::Canon::PrefixScheme::Fixed));
    return kExitOk;
  }
  WriteStdout(Lumo::Canon::RootFormOfDocument(std::move(root), true).signedBytes);
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
