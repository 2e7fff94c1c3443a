// dezsign's working commands: childs, root, envelope, verify, extract, base64-envelope
// and --code N, on single files, text, or batches with several workers.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "base/actions.h"
#include "base/encoding.h"
#include "base/file_name.h"
#include "dom/xml_helpers.h"
#include "sign/output_file.h"
#include "sign/profile.h"
#include "sign/signature_check.h"
#include "tools/batch.h"
#include "tools/command.h"
#include "tools/options.h"
#include "tools/spool.h"
#include "tools/xml_text.h"

namespace Lumo::Tool {
namespace {

namespace fs = std::filesystem;

using Lumo::Base::AnsiToWide;
using Lumo::Base::WideFromFileName;
using Lumo::Base::WideString;

struct Options : DocumentOptions {
  int32_t action = 0;
  bool silent = false;
  bool text = false;
  bool profileObject = false;
  bool skipExisting = false;
  int32_t keyload = -1;  // -1: not given
  std::string output;
  std::string outDir;
  bool parents = false;  // make missing output folders
};

// The key-load modes by name, in the order of their codes.
int32_t KeyloadFromName(const std::string& name) {
  if (name == "default") return 0;
  if (name == "silent") return 1;
  if (name == "loud") return 2;
  throw UsageError("--keyload takes default, silent or loud");
}

Options ParseOptions(int32_t action, const std::vector<std::string>& args, size_t first) {
  Options o;
  o.action = action;
  ReadDocumentOptions(args, first, o, [&o](const std::string& a, const auto& value) {
    if (a == "--silent") {
      o.silent = true;
    } else if (a == "--text") {
      o.text = true;
    } else if (a == "--profile-object") {
      o.profileObject = true;
    } else if (a == "--skip-existing") {
      o.skipExisting = true;
    } else if (a == "--keyload") {
      o.keyload = KeyloadFromName(value());
    } else if (a == "-o" || a == "--output") {
      o.output = value();
    } else if (a == "--out-dir") {
      o.outDir = value();
    } else if (a == "--parents") {
      o.parents = true;
    } else {
      return false;
    }
    return true;
  });
  const Lumo::Base::ActionRow& row = Lumo::Base::ActionOf(o.action);
  if (row.input == Lumo::Base::ActionInput::Base64Text) o.text = true;  // never parsed
  if (o.skipExisting && o.outDir.empty())
    throw UsageError("--skip-existing applies to a batch: add --out-dir DIR");
  if (o.keyload >= 0 && !o.profileObject)
    throw UsageError("--keyload applies to the Profile object: add --profile-object");
  if (o.inputs.size() > 1) {
    if (o.outDir.empty()) throw UsageError("several inputs need --out-dir DIR");
    if (!o.output.empty())
      throw UsageError("-o names one output; use --out-dir for several inputs");
    RefuseStandardInputInBatch(o.inputs);
  } else if (!o.outDir.empty() && !o.output.empty()) {
    throw UsageError("give either -o or --out-dir, not both");
  }
  if (!o.testMode && o.profile.empty() && (row.needsKey || o.profileObject))
    throw UsageError("no key profile given (use -p NAME)");
  return o;
}

// The outcome of one input.
struct Outcome {
  int32_t status = 0;
  std::string message;            // description of the failure
  std::unique_ptr<Spool> result;  // for standard output, complete
  bool named = false;             // the message names the input already
  bool refused = false;           // verify: the envelope was refused (exit status 3)
  std::string signer;             // verify: who signed, for the line on stderr
};

// "INPUT: OK — signed by ...": who signed an envelope that verify accepted, read from its
// signature (test mode checks none: empty).
std::string VerifiedLine(const std::string& input) {
  const std::optional<Lumo::Sign::CmsSigners>& read = Lumo::Sign::LastVerifiedSigners();
  if (!read) return {};
  const std::string name = input == "-" ? "standard input" : input;
  if (!read->error.empty())
    return name + ": OK — signer unknown: " + Lumo::Sign::SignersText(*read);
  return name + ": OK — signed by " + Lumo::Sign::SignersText(*read);
}

Outcome FailureFromErrorInfo(int32_t status) {
  Outcome r;
  r.status = status;
  if (const Lumo::Automation::ErrorInfo* info = Lumo::Automation::LastErrorInfo()) {
    r.message = Lumo::Base::Utf8FromWide(info->description);
    r.refused = info->refused;
  }
  return r;
}

// One worker: its own objects, used by one thread only.
class Worker {
 public:
  explicit Worker(const Options& o) : o_(o) {
    sign_.TestMode = o.testMode;
    sign_.Silent = o.silent;
  }
  ~Worker() {
    if (profile_ && opened_) profile_->Close();
    if (checkProfileOpened_) checkProfile_->Close();
  }

  // --skip-existing: whether the output of an earlier run is there and complete. Signed
  // documents must check (their signature values verify), envelopes must verify, and the
  // document that verify or extract took out of an envelope must read as a whole
  // document. Anything else (missing, unreadable, failing) is made again.
  bool OutputChecks(const std::string& output) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::path(output), ec)) return false;
    using Lumo::Base::ActionResultCheck;
    try {
      switch (const ActionResultCheck check = Lumo::Base::ActionOf(o_.action).resultCheck) {
        case ActionResultCheck::ChildSignatures:
        case ActionResultCheck::RootSignature: {
          if (!checkProfile_) {
            checkProfile_ = std::make_unique<Lumo::Sign::TProfile>(nullptr, o_.profile);
            checkProfile_->TestMode = o_.testMode;
            checkProfile_->Keyload = o_.silent ? 1 : 0;
          }
          if (!checkProfileOpened_) {
            checkProfile_->Open();
            checkProfileOpened_ = true;
          }
          Lumo::Dom::Node root = Lumo::Dom::LoadXmlFile(output);
          return root &&
                 Lumo::Sign::AllVerified(Lumo::Sign::CheckSignatures(
                     *checkProfile_, std::move(root),
                     check == ActionResultCheck::ChildSignatures ? Lumo::Sign::SignedBy::Childs
                                                                 : Lumo::Sign::SignedBy::Root));
        }
        case ActionResultCheck::Envelope: {
          std::string converted;
          std::string bytes = ReadInput(output);
          const std::string_view xml = Utf8XmlText(bytes, converted);
          return sign_.SignXmlUtf8(
                     xml, AnsiToWide(o_.profile), Lumo::Base::saVerify, [](std::string_view) {},
                     nullptr) == 0;
        }
        case ActionResultCheck::Document: return static_cast<bool>(Lumo::Dom::LoadXmlFile(output));
      }
      return false;
    } catch (const std::exception&) {
      return false;
    }
  }

  // output: a file to write, or empty for standard output (returned in bytes).
  Outcome Run(const std::string& input, const std::string& output) {
    const bool verify = Lumo::Base::ActionOf(o_.action).checksSignature && !o_.testMode;
    if (verify) Lumo::Sign::ForgetVerifiedSigners();
    Outcome r = RunAny(input, output);
    if (verify && r.status == 0) r.signer = VerifiedLine(input);
    // A refused signature names whom it claims as its signer (not proven).
    const std::optional<Lumo::Sign::CmsSigners>& read = Lumo::Sign::LastVerifiedSigners();
    if (verify && r.status != 0 && read && read->error.empty())
      r.message += " — signer: " + Lumo::Sign::SignersText(*read);
    return r;
  }

 private:
  Outcome RunAny(const std::string& input, const std::string& output) {
    try {
      // Text inputs are told apart from folders as they are read.
      if (o_.profileObject) return RunProfileObject(input, output);
      if (!o_.text && input != "-") {
        RequireNotDirectory(input);
        return RunFile(input, output);
      }
      return RunText(input, output);
    } catch (const InputError& e) {
      Outcome r;
      r.status = Lumo::Base::kE_UNEXPECTED;
      r.message = e.what();
      r.named = true;
      return r;
    } catch (const std::exception& e) {
      Outcome r;
      r.status = Lumo::Base::kE_UNEXPECTED;
      r.message = e.what();
      return r;
    }
  }

  Outcome RunFile(const std::string& input, const std::string& output) {
    if (!output.empty()) {
      int32_t hr = sign_.SignFile(WideFromFileName(input), WideFromFileName(output),
                                  AnsiToWide(o_.profile), o_.action);
      return hr ? FailureFromErrorInfo(hr) : Outcome{};
    }
    // To standard output: the same bytes a file would get, spooled and written out only
    // when the action succeeded.
    Outcome r;
    r.result = std::make_unique<Spool>();
    int32_t hr = 0;
    CaptureFileOutput(
        [&](const std::string& output) {
          hr = sign_.SignFile(WideFromFileName(input), WideFromFileName(output),
                              AnsiToWide(o_.profile), o_.action);
        },
        *r.result);
    return hr ? FailureFromErrorInfo(hr) : std::move(r);
  }

  Outcome RunText(const std::string& input, const std::string& output) {
    std::string converted;
    std::string bytes = ReadInput(input);
    const std::string_view xml = InputText(bytes, converted);
    // The input goes as soon as the call has read it.
    std::string* held = HeldInput(bytes, converted);
    return Deliver(output, [&](const Sink& sink) {
      return sign_.SignXmlUtf8(xml, AnsiToWide(o_.profile), o_.action, sink, held);
    });
  }

  Outcome RunProfileObject(const std::string& input, const std::string& output) {
    if (!profile_) {
      profile_ = std::make_unique<Lumo::Automation::TProfile>();
      profile_->put_Name(AnsiToWide(o_.profile));
      profile_->put_TestMode(o_.testMode ? -1 : 0);
      profile_->put_Keyload(o_.keyload >= 0 ? o_.keyload : 0);
    }
    if (!opened_) {
      int32_t hr = profile_->Open();
      if (hr) return FailureFromErrorInfo(hr);
      opened_ = true;
    }
    std::string converted;
    std::string bytes = ReadInput(input);
    const std::string_view xml = InputText(bytes, converted);
    std::string* held = HeldInput(bytes, converted);
    return Deliver(
        output, [&](const Sink& sink) { return profile_->SignUtf8(xml, o_.action, sink, held); });
  }

  // The buffer the text is read from (the other one is let go now).
  static std::string* HeldInput(std::string& bytes, std::string& converted) {
    if (converted.empty()) return &bytes;
    std::string().swap(bytes);
    return &converted;
  }

  // Text input as UTF-8: --text reads UTF-8 (refused, not repaired, where it is not
  // valid); a file read for the Profile object is read as its byte order mark or
  // declaration says, as a file load would, and converted where it is not UTF-8.
  std::string_view InputText(const std::string& bytes, std::string& converted) const {
    if (!o_.text) return Utf8XmlText(bytes, converted);
    const size_t bad = Lumo::Base::InvalidUtf8Offset(bytes);
    if (bad != std::string::npos)
      throw std::runtime_error("the text is not valid UTF-8 (byte offset " + std::to_string(bad) +
                               ")");
    return bytes;
  }

  using Sink = std::function<void(std::string_view)>;

  // Runs a text call whose result goes to sink: into the output file, which replaces the
  // old one only when the call succeeded (and is not made at all when it failed before
  // any result), or into a spool for standard output. (A device or FIFO's OutputFile
  // holds the result until Commit: a call that fails midway leaves nothing there.)
  template <class Call>
  static Outcome Deliver(const std::string& output, Call call) {
    Outcome r;
    if (output.empty()) {
      r.result = std::make_unique<Spool>();
      const int32_t hr = call([&r](std::string_view bytes) { r.result->Write(bytes); });
      return hr ? FailureFromErrorInfo(hr) : std::move(r);
    }
    // (The output file gathers small pieces into one write itself.)
    std::optional<Lumo::Sign::OutputFile> file;
    const int32_t hr = call([&](std::string_view bytes) {
      if (!file) file.emplace(output);
      file->Write(bytes);
    });
    if (hr) return FailureFromErrorInfo(hr);
    if (!file) file.emplace(output);
    file->Commit();
    return r;
  }

  const Options& o_;
  Lumo::Automation::TCBRSign sign_;
  std::unique_ptr<Lumo::Automation::TProfile> profile_;
  bool opened_ = false;
  std::unique_ptr<Lumo::Sign::TProfile> checkProfile_;  // --skip-existing's checks
  bool checkProfileOpened_ = false;
};

// With a key to open, a batch opens it once before any work: a profile that cannot be
// opened is then reported once instead of once per file.
bool KeyOpens(const Options& o) {
  if (o.testMode || (!Lumo::Base::ActionOf(o.action).needsKey && !o.profileObject)) return true;
  Lumo::Automation::TProfile probe;
  probe.put_Name(AnsiToWide(o.profile));
  probe.put_Keyload(o.keyload >= 0 ? o.keyload : (o.silent ? 1 : 2));
  int32_t hr = probe.Open();
  if (hr == 0) {
    probe.Close();
    return true;
  }
  Outcome r = FailureFromErrorInfo(hr);
  std::fprintf(stderr, "dezsign: %s\n",
               FailureText("key profile \"" + o.profile + "\"", r.message, r.status).c_str());
  return false;
}

int RunFiles(const Options& o) {
  std::vector<std::string> outputs = BatchOutputNames(o.inputs, o.outDir);
  if (!KeyOpens(o)) return kExitFailure;
  return RunBatch(o.inputs, outputs, {o.outDir, o.jobs, o.parents, o.quiet}, [&o]() -> BatchJob {
    auto worker = std::make_shared<Worker>(o);
    return [worker, &o](const std::string& input, const std::string& output) {
      if (o.skipExisting && worker->OutputChecks(output))
        return BatchResult{false, {}, false, true, {}};
      Outcome r = worker->Run(input, output);
      return BatchResult{r.status != 0, FailureText(r.named ? "" : input, r.message, r.status),
                         r.refused, false, r.signer};
    };
  });
}

int RunAction(int32_t action, const std::vector<std::string>& args, size_t first) {
  const Options o = ParseOptions(action, args, first);
  if (!o.provider.empty()) Lumo::Sign::SetProviderLibrary(o.provider);
  if (o.testMode && Lumo::Base::ActionOf(o.action).checksSignature)
    std::fprintf(stderr, "dezsign: test mode: the signature was not checked\n");
  if (o.inputs.size() > 1 || !o.outDir.empty()) return RunFiles(o);

  std::string output = o.output;
  if (output == "-") output.clear();
  if (!output.empty()) MakeOutputFolder(output, o.parents);
  Worker w(o);
  const std::string& input = o.inputs[0];
  Outcome r = w.Run(input, output);
  if (r.status) {
    std::fprintf(stderr, "dezsign: %s\n",
                 FailureText(r.named        ? ""
                             : input == "-" ? "standard input"
                                            : input,
                             r.message, r.status)
                     .c_str());
    return r.refused ? kExitRefused : kExitFailure;
  }
  if (!r.signer.empty() && !o.quiet) std::fprintf(stderr, "%s\n", r.signer.c_str());
  if (output.empty()) r.result->CopyToStdout();
  return kExitOk;
}

template <int32_t Code>
int RunNamed(const std::vector<std::string>& args) {
  return RunAction(Code, args, 0);
}

int RunCode(const std::vector<std::string>& args) {
  // "--code N ..." arrives without the command name, "--code=N ..." with it.
  std::string code;
  size_t first = 1;
  if (!args.empty() && args[0].rfind("--code=", 0) == 0) {
    code = args[0].substr(7);
  } else if (!args.empty()) {
    code = args[0];
  }
  const int32_t action = ParseInt32(code, "action code");
  // The low 8 bits are what reaches the library (261 is extract); a code whose low bits
  // name no action would make the library hand back the document unsigned.
  if (!Lumo::Base::FindAction(action))
    throw UsageError("unknown action code \"" + code + "\" (its low 8 bits must be " +
                     Lumo::Base::ActionCodeList(" or ", false) + ")");
  return RunAction(action, args, first);
}

constexpr const char* kUsageLines =
    "  dezsign ACTION [options] INPUT [-o OUTPUT]\n"
    "  dezsign ACTION [options] INPUT... --out-dir DIR [-j N]\n"
    "  dezsign ACTION --help\n"
    "  dezsign --code N [options] INPUT [-o OUTPUT]\n";

constexpr const char* kOptionsLines =
    "    -p, --profile NAME   key profile of the crypto provider\n"
    "    --provider PATH      crypto provider library, a path or file name (default:\n"
    "                         $LUMODEZ_PROVIDER, else libspki1.so)\n"
    "    -t, --test-mode      no provider: the signature of the data is the data itself;\n"
    "                         verify then checks nothing (says so on stderr)\n"
    "    --silent             never ask for a PIN (opens keys with the silent flag)\n"
    "    --text               read INPUT as UTF-8 text (as the text call does); invalid\n"
    "                         UTF-8 is an error; default for base64-envelope. Without it\n"
    "                         INPUT, - included, is read as a file: byte order mark and\n"
    "                         declaration decide the encoding\n"
    "    --profile-object     hold one key profile open per worker (Profile object)\n"
    "    --keyload MODE       default, silent or loud (with --profile-object)\n"
    "    -o, --output FILE    result file (UTF-8, written only when complete, see Files\n"
    "                         below); default stdout\n"
    "    --out-dir DIR        batch: one result per input, same file name, in DIR (two\n"
    "                         inputs with the same name are refused)\n"
    "    --parents            make the folder of -o FILE or --out-dir DIR with its missing\n"
    "                         parents; without it a missing folder is refused (exit 1)\n"
    "    -j, --jobs N         batch workers (default: number of cores)\n"
    "    --skip-existing      batch: skip an input whose result is already in DIR and\n"
    "                         checks (signatures verify, envelopes verify, documents\n"
    "                         read whole), e.g. to finish a batch that was stopped\n"
    "    -q, --quiet          only failures are printed (no batch progress or summary)\n"
    "    Options with a value also take the forms --profile=NAME and -pNAME.\n"
    "    exit status: 0 done; 3 verify refused the envelope (the signature does not\n"
    "    verify, the signer is not trusted, a part is missing or twice; in a batch: every\n"
    "    failure was such a refusal); 1 any other failure; 2 wrong usage\n"
    "    verify tells who signed on stderr (not with -q), read from the signature it\n"
    "    checked: INPUT: OK — signed by CN=..., O=..., serial ..., issuer ..., signing time";

// Every action command's help: the usage, the action names, the options.
const char* OptionsHelp() {
  static const std::string text = [] {
    std::string names;
    for (const Lumo::Base::ActionRow& row : Lumo::Base::kActions)
      names += (names.empty() ? "" : ", ") + std::string(row.command);
    return std::string(kUsageLines) + "    ACTION: " + names + "\n" + kOptionsLines;
  }();
  return text.c_str();
}

// One command per action, in the order of their codes (the first one shows the usage in
// dezsign --help), then --code.
template <size_t... Row>
bool RegisterActionCommands(std::index_sequence<Row...>) {
  using Lumo::Base::kActions;  // (their names are literals: data() ends in a zero)
  (RegisterCommand({kActions[Row].command.data(), Row == 0 ? OptionsHelp() : "",
                    kActions[Row].summary.data(), &RunNamed<kActions[Row].code>,
                    19 + kActions[Row].code, OptionsHelp()}),
   ...);
  static const std::string codeSummary = "run an action by its code (low 8 bits: 1 to " +
                                         std::to_string(Lumo::Base::kActionCount) + ")";
  RegisterCommand({"--code", "", codeSummary.c_str(), &RunCode,
                   20 + static_cast<int>(Lumo::Base::kActionCount), OptionsHelp()});
  return true;
}

const bool kActionCommands =
    RegisterActionCommands(std::make_index_sequence<Lumo::Base::kActionCount>());

}  // namespace
}  // namespace Lumo::Tool
