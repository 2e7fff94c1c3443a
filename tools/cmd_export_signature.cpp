// dezsign export-signature: the signature value that root or childs put into a document,
// as a CMS file, and the exact bytes it was made over, so that openssl can verify it on its
// own: openssl cms -verify -binary -inform DER -in OUT.p7s -content OUT.bin ...
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/errors.h"
#include "base/file_name.h"
#include "dom/dom.h"
#include "sign/output_file.h"
#include "sign/signature_check.h"
#include "tools/command.h"
#include "tools/options.h"

namespace Lumo::Tool {
namespace {

using Lumo::Sign::SignedBy;
using Lumo::Sign::SignedPart;

struct Options : DocumentOptions {
  SignedBy action = SignedBy::Root;
  std::string cms, data;
  bool parents = false;
};

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  ReadDocumentOptions(args, 0, o, [&o](const std::string& a, const auto& value) {
    if (a == "--childs") {
      o.action = SignedBy::Childs;
    } else if (a == "--cms") {
      o.cms = value();
    } else if (a == "--data") {
      o.data = value();
    } else if (a == "--parents") {
      o.parents = true;
    } else {
      return false;
    }
    return true;
  });
  // The export checks nothing: the options of the commands that open keys do not apply.
  if (!o.profile.empty() || !o.provider.empty() || o.testMode || o.jobs)
    throw UsageError("export-signature takes no -p, --provider, -t or -j: it checks nothing");
  if (o.inputs.size() != 1) throw UsageError("export-signature takes one input");
  if (o.cms.empty() || o.data.empty())
    throw UsageError("export-signature needs --cms FILE and --data FILE");
  if (o.cms == "-" || o.data == "-")
    throw UsageError("--cms and --data name files (standard output takes no binary pair)");
  if (o.cms == o.data) throw UsageError("--cms and --data name the same file");
  return o;
}

// The file of the n-th child's part: the number before the name's extension
// ("sig.p7s" -> "sig.3.p7s"), or at its end where it has none.
std::string ChildFileName(const std::string& name, int32_t index) {
  const std::filesystem::path path(name);
  const std::string number = "." + std::to_string(index);
  if (!path.has_extension() || path.stem().empty()) return name + number;
  std::filesystem::path numbered = path;
  numbered.replace_filename(path.stem().string() + number + path.extension().string());
  return numbered.string();
}

// Both files of a pair are made and written before either takes its place: a pair whose
// second file cannot be made (a missing folder, no permission) leaves no first file.
void WritePair(const std::string& cmsFile, const Lumo::Base::ByteString& signature,
               const std::string& dataFile, const Lumo::Base::ByteString& signedBytes,
               bool parents) {
  MakeOutputFolder(cmsFile, parents);
  MakeOutputFolder(dataFile, parents);
  Lumo::Sign::OutputFile cms(cmsFile);
  cms.Write(signature);
  Lumo::Sign::OutputFile data(dataFile);
  data.Write(signedBytes);
  cms.Commit();
  data.Commit();
}

int RunExportSignature(const std::vector<std::string>& args) {
  const Options o = ParseOptions(args);
  const std::string& input = o.inputs[0];
  std::vector<SignedPart> parts;
  try {
    Lumo::Dom::Node root = LoadInputDocument(input);
    if (!root) throw Lumo::Base::ELumoDEZError("the document has no root element");
    parts = Lumo::Sign::SignedParts(std::move(root), o.action);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dezsign: %s\n",
                 FailureText(input == "-" ? "standard input" : input, e.what(), 0).c_str());
    return kExitFailure;
  }
  const std::string name = input == "-" ? "standard input" : input;
  int status = kExitOk;
  for (const SignedPart& part : parts) {
    const bool child = o.action == SignedBy::Childs && part.index > 0;
    const std::string what = child ? name + ": child " + std::to_string(part.index) + " (" +
                                         Lumo::Base::Utf8FromWide(part.element) + ")"
                                   : name;
    if (!part.reason.empty()) {
      std::fprintf(stderr, "dezsign: %s\n", FailureText(what, part.reason, 0).c_str());
      status = kExitFailure;
      continue;
    }
    const std::string cms = child ? ChildFileName(o.cms, part.index) : o.cms;
    const std::string data = child ? ChildFileName(o.data, part.index) : o.data;
    try {
      WritePair(cms, part.signature, data, part.signedBytes, o.parents);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "dezsign: %s\n", FailureText(what, e.what(), 0).c_str());
      status = kExitFailure;
      continue;
    }
    if (!o.quiet && child)
      std::fprintf(stderr, "dezsign: %s: %s, %s\n", what.c_str(),
                   Lumo::Base::FileNameForMessage(cms).c_str(),
                   Lumo::Base::FileNameForMessage(data).c_str());
  }
  return status;
}

constexpr const char* kUsage =
    "  dezsign export-signature [--childs] FILE --cms OUT.p7s --data OUT.bin [--parents]\n"
    "    writes the dsig:SigValue that root (with --childs: childs) put into FILE as a\n"
    "    CMS file (DER) and the exact bytes it was made over, for openssl:\n"
    "      openssl cms -verify -engine gost -binary -inform DER -in OUT.p7s\n"
    "        -content OUT.bin -CAfile CERT.pem -out /dev/null\n"
    "    --childs   one pair per child element, numbered before the extension\n"
    "               (OUT.1.p7s, OUT.1.bin, ...); each pair is named on stderr\n"
    "    --cms FILE, --data FILE  the two files (written whole or not at all)\n"
    "    --parents  make the files' missing folders (else a missing folder is refused)\n"
    "    -q         no line per child pair";

const CommandRegistrar kExportSignature({"export-signature", kUsage,
                                         "write a signature value and its signed bytes for openssl",
                                         &RunExportSignature, 28});

}  // namespace
}  // namespace Lumo::Tool
