// dezsign check FILE / dezsign xml FILE: does a document load, and how does it serialise.
#include <cstdio>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "dom/dom.h"
#include "dom/xml_helpers.h"
#include "tools/command.h"

namespace {

using namespace Lumo::Tool;

Lumo::Dom::Node Load(const std::string& path) {
  if (path == "-") {
    Lumo::Base::TMemoryStream stream;
    std::string bytes = ReadInput(path);
    stream.Write(bytes.data(), bytes.size());
    stream.SetPosition(0);
    return Lumo::Dom::LoadXmlStream(stream);
  }
  RequireNotDirectory(path);
  return Lumo::Dom::LoadXmlFile(path);
}

int RunCheck(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: dezsign check FILE\n");
    return kExitUsage;
  }
  try {
    Load(args[0]);
  } catch (const Lumo::Base::EXmlParserError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailure;
  }
  return kExitOk;
}

int RunXml(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: dezsign xml FILE\n");
    return kExitUsage;
  }
  Lumo::Dom::Node root;
  try {
    root = Load(args[0]);
  } catch (const Lumo::Base::EXmlParserError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailure;
  }
  if (!root) return kExitFailure;
  WriteStdout(Lumo::Base::Utf8FromWide(root.xml()));
  return kExitOk;
}

const CommandRegistrar checkCommand({"check", "  dezsign check FILE",
                                     "exit 0 when FILE loads as XML, else print the parse error",
                                     &RunCheck, 10});
const CommandRegistrar xmlCommand({"xml", "  dezsign xml FILE",
                                   "print the document element's markup (UTF-8)", &RunXml, 11});

}  // namespace
