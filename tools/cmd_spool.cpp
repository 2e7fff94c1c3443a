// dezsign spool: the document actions on the files that arrive in a folder; the folder
// protocol is folder_spool.cpp, this file is the command line and one file's work.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/actions.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "dom/xml_helpers.h"
#include "sign/output_file.h"
#include "sign/profile.h"
#include "sign/signature_check.h"
#include "sign/signer.h"
#include "tools/command.h"
#include "tools/folder_spool.h"
#include "tools/options.h"

namespace Lumo::Tool {
namespace {

using Lumo::Sign::SignedBy;

constexpr int32_t kCheckSignature = -1;

struct Options : DocumentOptions {
  std::string actionName;
  int32_t action = 0;  // the action code, or kCheckSignature
  SignedBy signedBy = SignedBy::Root;
  SpoolSettings spool;
  bool deleteInput = false;
};

// The actions a spool runs: every one that takes a document file, then check-signature.
std::string SpoolActionNames() {
  std::string names;
  for (const Lumo::Base::ActionRow& row : Lumo::Base::kActions)
    if (row.input != Lumo::Base::ActionInput::Base64Text) names += std::string(row.command) + ", ";
  return names + "check-signature";
}

int32_t ActionCode(const std::string& name) {
  if (name == "check-signature") return kCheckSignature;
  const Lumo::Base::ActionRow* row = Lumo::Base::FindActionCommand(name);
  if (row != nullptr && row->input != Lumo::Base::ActionInput::Base64Text) return row->code;
  throw UsageError("spool takes one of " + SpoolActionNames());
}

bool NeedsKey(const Options& o) {
  return o.action == kCheckSignature || Lumo::Base::ActionOf(o.action).needsKey;
}

bool ChecksSignatures(const Options& o) {
  return o.action == kCheckSignature || Lumo::Base::ActionOf(o.action).checksSignature;
}

double ParseSeconds(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || !(v >= 0) || v > 86400)
    throw UsageError("--settle takes seconds from 0 to 86400");
  return v;
}

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  std::string done;
  ReadDocumentOptions(args, 0, o, [&](const std::string& a, const auto& value) {
    if (a == "--in") {
      o.spool.in = value();
    } else if (a == "--out") {
      o.spool.out = value();
    } else if (a == "--done") {
      done = value();
    } else if (a == "--failed") {
      o.spool.failed = value();
    } else if (a == "--delete-input") {
      o.deleteInput = true;
    } else if (a == "--watch") {
      o.spool.watch = true;
    } else if (a == "--settle") {
      o.spool.settleSeconds = ParseSeconds(value());
    } else if (a == "--childs") {
      o.signedBy = SignedBy::Childs;
    } else {
      return false;
    }
    return true;
  });
  if (o.inputs.size() != 1) throw UsageError("spool takes one ACTION and its folders as options");
  o.actionName = o.inputs[0];
  o.action = ActionCode(o.actionName);
  if (o.signedBy == SignedBy::Childs && o.action != kCheckSignature)
    throw UsageError("--childs applies to spool check-signature");
  if (o.spool.in.empty() || o.spool.out.empty())
    throw UsageError("spool needs --in DIR and --out DIR");
  if (done.empty() == !o.deleteInput)
    throw UsageError("give either --done DIR or --delete-input: where inputs go once done");
  o.spool.done = done;
  if (o.spool.failed.empty()) o.spool.failed = o.spool.in + "/failed";
  if (!o.testMode && o.profile.empty() && NeedsKey(o))
    throw UsageError("no key profile given (use -p NAME)");
  o.spool.jobs = o.jobs;
  o.spool.action = o.actionName;
  return o;
}

// Whether the key opens as the file's work will open it (silently: nobody is there to
// type a PIN): empty, or the reason.
std::string KeyFault(const Options& o) {
  if (o.testMode || !NeedsKey(o)) return std::string();
  try {
    Lumo::Sign::TCBRSigner signer(false);
    signer.Silent = true;
    signer.OpenProfile(o.profile);
    signer.CloseProfile(o.profile);
    return std::string();
  } catch (const std::exception& e) {
    return "key profile \"" + o.profile + "\": " + e.what();
  }
}

SpoolOutcome Outcome(SpoolFault fault, const std::string& verdict, const std::string& message) {
  return {fault, message, verdict, fault == SpoolFault::None ? 0 : Lumo::Base::kE_UNEXPECTED};
}

// Whose fault the exception in flight is. The result could not be written, memory ran
// out, the provider failed on a key that no longer opens: the machine's. A document that
// does not parse, is not what the action needs, or whose signature does not verify: the
// document's. A provider failure while signing is the machine's (the key opened).
SpoolOutcome FromException(const Options& o) {
  try {
    throw;
  } catch (const Lumo::Sign::EFCreateError& e) {
    return Outcome(SpoolFault::Machine, "write-error", e.what());
  } catch (const Lumo::Sign::EWriteError& e) {
    return Outcome(SpoolFault::Machine, "write-error", e.what());
  } catch (const Lumo::Base::ESignaturaError& e) {
    if (!ChecksSignatures(o) || !KeyFault(o).empty())
      return Outcome(SpoolFault::Machine, "provider", e.what());
    return Outcome(SpoolFault::Document, "refused", e.what());
  } catch (const Lumo::Base::EXmlParserError& e) {
    return Outcome(SpoolFault::Document, "parse-error", e.what());
  } catch (const std::bad_alloc&) {
    return Outcome(SpoolFault::Machine, "out-of-memory", "out of memory");
  } catch (const std::exception& e) {
    return Outcome(SpoolFault::Document, "refused", e.what());
  }
}

// check-signature: the document itself is the result when every signature verifies.
SpoolOutcome CheckSignatures(const Options& o, Lumo::Sign::TProfile& profile, bool& opened,
                             const std::string& input, const std::string& result) {
  if (!opened) {
    try {
      profile.Open();
    } catch (const std::exception& e) {
      return Outcome(SpoolFault::Machine, "provider", e.what());
    }
    opened = true;
  }
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlFile(input);
  if (!root) throw Lumo::Base::ELumoDEZError("the document has no root element");
  const std::vector<Lumo::Sign::SignatureVerdict> verdicts =
      Lumo::Sign::CheckSignatures(profile, std::move(root), o.signedBy);
  if (!Lumo::Sign::AllVerified(verdicts)) {
    std::string reasons;
    for (const Lumo::Sign::SignatureVerdict& v : verdicts) {
      if (v.verified) continue;
      if (!reasons.empty()) reasons += "; ";
      if (v.index > 0)
        reasons +=
            "child " + std::to_string(v.index) + " (" + Lumo::Base::Utf8FromWide(v.element) + "): ";
      reasons += v.reason;
    }
    if (verdicts.empty()) reasons = "no signature";
    return Outcome(SpoolFault::Document, "refused", reasons);
  }
  try {
    Lumo::Sign::WriteOutputFile(result, ReadInput(input));
  } catch (const InputError& e) {
    return Outcome(SpoolFault::Machine, "read-error", e.what());
  }
  return {};
}

// One worker's job. The action goes through the signer as `dezsign ACTION -o` does, so
// the results are the same bytes; the signer writes them with the durable writer.
SpoolJob MakeJob(const Options& o) {
  struct State {
    explicit State(const Options& o) : profile(nullptr, o.profile) {
      profile.TestMode = o.testMode;
    }
    ~State() {
      if (opened) profile.Close();
    }
    Lumo::Sign::TProfile profile;
    bool opened = false;
  };
  auto state = std::make_shared<State>(o);
  return [&o, state](const std::string& input, const std::string& result) -> SpoolOutcome {
    try {
      if (o.action == kCheckSignature)
        return CheckSignatures(o, state->profile, state->opened, input, result);
      Lumo::Sign::TCBRSigner signer(o.testMode);
      signer.Silent = true;
      signer.SignFile(o.profile, input, result, static_cast<uint8_t>(o.action));
      return {};
    } catch (...) {
      return FromException(o);
    }
  };
}

int RunSpool(const std::vector<std::string>& args) {
  Options o = ParseOptions(args);
  if (!o.provider.empty()) Lumo::Sign::SetProviderLibrary(o.provider);
  if (o.testMode && o.action != kCheckSignature && Lumo::Base::ActionOf(o.action).checksSignature)
    std::fprintf(stderr, "dezsign spool: test mode: signatures are not checked\n");
  o.spool.probe = [&o] { return KeyFault(o); };
  return RunFolderSpool(o.spool, [&o] { return MakeJob(o); });
}

constexpr const char* kUsageLines =
    "  dezsign spool ACTION -p NAME --in IN --out OUT (--done DONE | --delete-input)\n"
    "               [--failed FAILED] [--watch] [--settle SECONDS] [-j N] [-t]\n"
    "               [--provider PATH] [--childs]\n";

constexpr const char* kOptionLines =
    "    that arrives in IN; its result goes to OUT under the same name (check-signature:\n"
    "    the documents whose signatures verify), then the input to DONE\n"
    "    --in DIR             the folder documents arrive in; names beginning with a dot\n"
    "                         or ending in .tmp, .part, .partial, .filepart or ~ are left\n"
    "                         alone (write under such a name, then rename)\n"
    "    --out DIR            results, each under its input's name, never over a file:\n"
    "                         a result waits while OUT holds an earlier one of that name\n"
    "    --done DIR           inputs once their result is in OUT (on IN's file system)\n"
    "    --delete-input       delete inputs once their result is in OUT instead\n"
    "    --failed DIR         inputs the action refused, each with NAME.error (message,\n"
    "                         verdict, status, time); default IN/failed\n"
    "    --watch              keep running: take new files as they arrive (inotify and a\n"
    "                         rescan every 5 s); SIGTERM finishes the files in hand and\n"
    "                         exits 0, SIGHUP opens the key profile again\n"
    "    --settle SECONDS     take a file only once unchanged that long (for producers\n"
    "                         that write in place)\n"
    "    --childs             (check-signature) the documents were signed by childs\n"
    "    A machine fault (disk full, folder not writable, key or provider not usable)\n"
    "    leaves the file in IN; --watch pauses and tries again (0.5 s, doubling up to\n"
    "    60 s), without it the run stops with status 1. Work folders: IN/.work, OUT/.work";

const char* Usage() {
  static const std::string text = std::string(kUsageLines) + "    ACTION (" + SpoolActionNames() +
                                  ") on every file\n" + kOptionLines;
  return text.c_str();
}

const CommandRegistrar kSpool({"spool", Usage(),
                               "sign, wrap, verify or check every file that arrives in a folder",
                               &RunSpool, 28});

}  // namespace
}  // namespace Lumo::Tool
