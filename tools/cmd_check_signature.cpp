// dezsign check-signature: verify the signature values that root or childs put into
// documents, one line per file (per child element with --childs), in input order.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "base/errors.h"
#include "sign/document_input.h"
#include "sign/profile.h"
#include "sign/signature_check.h"
#include "tools/batch.h"
#include "tools/command.h"
#include "tools/options.h"

namespace Lumo::Tool {
namespace {

using Lumo::Sign::SignatureVerdict;
using Lumo::Sign::SignedBy;

struct Options : DocumentOptions {
  SignedBy action = SignedBy::Root;
  bool allowUnsignedContent = false;
};

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  ReadDocumentOptions(args, 0, o, [&o](const std::string& a, const auto&) {
    if (a == "--childs") {
      o.action = SignedBy::Childs;
    } else if (a == "--allow-unsigned-content") {
      o.allowUnsignedContent = true;
    } else {
      return false;
    }
    return true;
  });
  if (o.profile.empty() && !o.testMode)
    throw UsageError("give the key profile with -p NAME (or -t)");
  // Test mode checks no key: with both, a reader of the command line would think the
  // signatures were checked against the profile's.
  if (o.testMode && !o.profile.empty())
    throw UsageError("-t checks no key: give either -p NAME or -t, not both");
  RefuseStandardInputInBatch(o.inputs);
  return o;
}

// Messages may hold line breaks (parse errors, one provider text per signer): one line.
std::string OneLine(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      if (i + 1 < text.size()) out += "; ";
    } else {
      out += text[i];
    }
  }
  return out;
}

// Who signed, after the verdict: " — signed by CN=..., serial ..., ..." for a signature
// that was accepted, " — signer: ..." for one that was not (what it names is not proven);
// nothing in test mode.
std::string SignerNote(const SignatureVerdict& v) {
  if (!v.signers) return {};
  const std::string text = Lumo::Sign::SignersText(*v.signers);
  if (!v.signers->error.empty()) return " — signer unknown: " + text;
  return (Lumo::Sign::IsAccepted(v.code) ? " — signed by " : " — signer: ") + text;
}

// The report of one file and its exit status: 0 every signature holds, kExitRefused the
// document is refused, kExitFailure it could not be checked.
struct FileReport {
  std::string lines;
  int status = kExitFailure;
};

// The line of one verdict, after the file's name (and the child's).
std::string VerdictText(const SignatureVerdict& v) {
  using Lumo::Sign::VerdictCode;
  switch (v.code) {
    case VerdictCode::Ok: return "OK";
    case VerdictCode::OkUnsignedContentAllowed: return "OK (allowed " + OneLine(v.warning) + ")";
    case VerdictCode::UnsignedContent:
    case VerdictCode::Duplicate: return OneLine(v.reason);
    default: return "FAILED: " + OneLine(v.reason);
  }
}

// One worker: its own key profile, opened on first use and held for the worker's files.
class Worker {
 public:
  explicit Worker(const Options& o) : o_(o), profile_(nullptr, o.profile) {
    profile_.TestMode = o.testMode;
  }
  ~Worker() {
    if (opened_) profile_.Close();
  }

  FileReport Run(const std::string& input) {
    FileReport report;
    bool refused = false, unchecked = false;
    // Each verdict's line is made as soon as the verdict is known: a packet of many
    // children keeps nothing per child (with -q, nothing per accepted child at all).
    auto line = [&](SignatureVerdict&& v) {
      if (v.code == Lumo::Sign::VerdictCode::NotChecked) unchecked = true;
      else if (!Lumo::Sign::IsAccepted(v.code))
        refused = true;
      if (o_.quiet && v.code == Lumo::Sign::VerdictCode::Ok) return;  // -q: failures only
      report.lines += input;
      if (o_.action == SignedBy::Childs && v.index > 0)
        report.lines +=
            ": child " + std::to_string(v.index) + " (" + Lumo::Base::Utf8FromWide(v.element) + ")";
      report.lines += ": " + VerdictText(v) + SignerNote(v) + "\n";
    };
    Lumo::Sign::SignatureCheck check;
    try {
      if (!opened_) {
        profile_.Open();
        opened_ = true;
      }
      // Standard input is read once; its bytes are kept for telling lines.
      std::string bytes;
      if (input == "-") bytes = ReadInput(input);
      std::optional<Lumo::Sign::SignatureCheck> checked =
          Lumo::Sign::CheckDocumentOf(profile_,
                                      input == "-" ? Lumo::Sign::DocumentInput::FileBytes(bytes)
                                                   : Lumo::Sign::DocumentInput::File(input),
                                      o_.action, o_.allowUnsignedContent, line);
      if (!checked) throw Lumo::Base::ELumoDEZError("the document has no root element");
      check = std::move(*checked);
    } catch (const std::exception& e) {
      report.lines = input + ": FAILED: " + OneLine(e.what()) + "\n";
      report.status = kExitFailure;
      return report;
    }
    if (!check.notCovered.empty())
      report.lines += input + ": NOT COVERED: " + check.notCovered + "\n";
    report.status = unchecked ? kExitFailure : refused ? kExitRefused : kExitOk;
    return report;
  }

 private:
  const Options& o_;
  Lumo::Sign::TProfile profile_;
  bool opened_ = false;
};

// Reports are written in input order as soon as every earlier one is in.
class OrderedOutput {
 public:
  explicit OrderedOutput(size_t count) : reports_(count) {}
  void Put(size_t index, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_[index] = std::move(text);
    for (; next_ < reports_.size() && reports_[next_]; ++next_) {
      if (writeFailed_) continue;
      const std::string& s = *reports_[next_];
      if (std::fwrite(s.data(), 1, s.size(), stdout) != s.size() || std::fflush(stdout) != 0)
        writeFailed_ = true;
      reports_[next_]->clear();
    }
  }
  bool WriteFailed() const { return writeFailed_; }

 private:
  std::mutex mutex_;
  std::vector<std::optional<std::string>> reports_;
  size_t next_ = 0;
  bool writeFailed_ = false;
};

int RunCheckSignature(const std::vector<std::string>& args) {
  const Options o = ParseOptions(args);
  if (!o.provider.empty()) Lumo::Sign::SetProviderLibrary(o.provider);
  if (o.testMode) std::fprintf(stderr, "dezsign: test mode: the signature was not checked\n");
  OrderedOutput output(o.inputs.size());
  std::atomic<size_t> next{0}, refused{0}, failed{0};
  RunOnWorkers(BatchWorkers(o.jobs, o.inputs.size()), [&] {
    Worker worker(o);
    for (size_t i = next++; i < o.inputs.size(); i = next++) {
      FileReport report = worker.Run(o.inputs[i]);
      if (report.status == kExitRefused) ++refused;
      if (report.status == kExitFailure) ++failed;
      output.Put(i, std::move(report.lines));
    }
  });
  if (output.WriteFailed()) {
    std::fprintf(stderr, "dezsign: cannot write standard output: %s\n", std::strerror(errno));
    return kExitFailure;
  }
  return failed ? kExitFailure : refused ? kExitRefused : kExitOk;
}

const CommandRegistrar kCheckSignature(
    {"check-signature",
     "  dezsign check-signature [--childs] [--allow-unsigned-content] [-p NAME]\n"
     "                         [--provider PATH] [-t] [-j N] FILE...\n"
     "    checks the dsig:SigValue that root (with --childs: childs) put into each FILE\n"
     "    against the bytes the document gives without it, and that a reader of FILE sees\n"
     "    nothing the signature does not cover; one line per file (per child element with\n"
     "    --childs): FILE: OK — signed by CN=..., O=..., serial ..., issuer ..., signing\n"
     "    time (who signed, read from the signature), FILE: FAILED: reason (— signer: the\n"
     "    signer it names), FILE: UNSIGNED CONTENT: what at line L\n"
     "    (a comment, processing instruction, document type declaration, an attribute the\n"
     "    canonical form drops, content inside dsig:SigValue, a changed namespace binding),\n"
     "    FILE: child N (name): DUPLICATE of child M; with --childs a last line\n"
     "    FILE: NOT COVERED: the parts of the packet no signature covers\n"
     "    --allow-unsigned-content  report unsigned content as OK (allowed ...) instead\n"
     "    -p NAME   key profile of the crypto provider that verifies the signatures\n"
     "    --provider PATH  as for the actions above\n"
     "    -t        test mode (not with -p): a signature verifies when it equals the\n"
     "              signed bytes; no key is checked (says so on stderr)\n"
     "    -j N      workers for several files (default: number of cores)\n"
     "    -q        only failures are printed\n"
     "    exit status: 0 every signature holds, 3 a document is refused, 1 a file could\n"
     "    not be checked (unreadable, not XML, provider or key profile failing), 2 usage",
     "verify the signature values in documents signed by root or childs", &RunCheckSignature, 27});

}  // namespace
}  // namespace Lumo::Tool
