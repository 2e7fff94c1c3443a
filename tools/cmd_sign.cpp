// dezsign's working commands: childs, root, envelope, verify, extract, base64-envelope
// and --code N, on single files, text, or batches with several workers.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "sign/output_file.h"
#include "sign/profile.h"
#include "tools/command.h"
#include "tools/xml_text.h"
#include "util/encoding.h"

namespace DezsignTool {
namespace {

namespace fs = std::filesystem;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  int32_t action = 0;
  std::string profile;
  std::string provider;  // empty: LUMODEZ_PROVIDER, else the default library
  bool testMode = false;
  bool silent = false;
  bool text = false;
  bool profileObject = false;
  int32_t keyload = -1;  // -1: not given
  std::vector<std::string> inputs;
  std::string output;
  std::string outDir;
  unsigned jobs = 0;  // 0: one per core
};

struct ActionName {
  const char* name;
  int32_t code;
};
constexpr ActionName kActions[] = {
    {"childs", 1}, {"root", 2}, {"envelope", 3}, {"verify", 4}, {"extract", 5}, {"base64-envelope", 6},
};

int32_t ParseInt(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end || errno || v < INT32_MIN || v > UINT32_MAX)
    throw UsageError(std::string("invalid ") + what + " \"" + text + "\"");
  return static_cast<int32_t>(v);
}

Options ParseOptions(int32_t action, const std::vector<std::string>& args, size_t first) {
  Options o;
  o.action = action;
  bool endOfOptions = false;
  auto value = [&](size_t& i) -> const std::string& {
    if (i + 1 >= args.size()) throw UsageError("option " + args[i] + " needs a value");
    return args[++i];
  };
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (endOfOptions || a == "-" || a.empty() || a[0] != '-') {
      o.inputs.push_back(a);
    } else if (a == "--") {
      endOfOptions = true;
    } else if (a == "-p" || a == "--profile") {
      o.profile = value(i);
    } else if (a == "--provider") {
      o.provider = value(i);
      if (o.provider.empty()) throw UsageError("--provider needs a library name or path");
    } else if (a == "-t" || a == "--test-mode") {
      o.testMode = true;
    } else if (a == "--silent") {
      o.silent = true;
    } else if (a == "--text") {
      o.text = true;
    } else if (a == "--profile-object") {
      o.profileObject = true;
    } else if (a == "--keyload") {
      const std::string& v = value(i);
      if (v == "default") o.keyload = 0;
      else if (v == "silent") o.keyload = 1;
      else if (v == "loud") o.keyload = 2;
      else throw UsageError("--keyload takes default, silent or loud");
    } else if (a == "-o" || a == "--output") {
      o.output = value(i);
    } else if (a == "--out-dir") {
      o.outDir = value(i);
    } else if (a == "-j" || a == "--jobs") {
      int32_t n = ParseInt(value(i), "number of workers");
      if (n < 1 || n > 256) throw UsageError("-j takes a number from 1 to 256");
      o.jobs = static_cast<unsigned>(n);
    } else if (a.size() > 2 && a.rfind("-j", 0) == 0 && a[2] != '-') {
      int32_t n = ParseInt(a.substr(2), "number of workers");
      if (n < 1 || n > 256) throw UsageError("-j takes a number from 1 to 256");
      o.jobs = static_cast<unsigned>(n);
    } else {
      throw UsageError("unknown option " + a);
    }
  }
  if (o.inputs.empty()) throw UsageError("no input given (a file name, or - for standard input)");
  if ((o.action & 0xFF) == 6) o.text = true;  // the input is Base64 text, never parsed
  if (o.keyload >= 0 && !o.profileObject)
    throw UsageError("--keyload applies to the Profile object: add --profile-object");
  if (o.inputs.size() > 1) {
    if (o.outDir.empty()) throw UsageError("several inputs need --out-dir DIR");
    if (!o.output.empty()) throw UsageError("-o names one output; use --out-dir for several inputs");
    if (std::count(o.inputs.begin(), o.inputs.end(), std::string("-")))
      throw UsageError("standard input (-) cannot be part of a batch");
  } else if (!o.outDir.empty() && !o.output.empty()) {
    throw UsageError("give either -o or --out-dir, not both");
  }
  return o;
}

// The outcome of one input.
struct Outcome {
  int32_t status = 0;
  std::string message;  // description of the failure
  std::string bytes;    // result for standard output
};

std::string StatusHex(int32_t status) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
  return buffer;
}

Outcome FailureFromErrorInfo(int32_t status) {
  Outcome r;
  r.status = status;
  if (const AX::ErrorInfo* info = AX::LastErrorInfo()) r.message = Lumo::Utf8FromWide(info->description);
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
  }

  // output: a file to write, or empty for standard output (returned in bytes).
  Outcome Run(const std::string& input, const std::string& output) {
    try {
      if (o_.profileObject) return RunProfileObject(input, output);
      if (!o_.text && input != "-") return RunFile(input, output);
      return RunText(input, output);
    } catch (const std::exception& e) {
      Outcome r;
      r.status = Lumo::kE_UNEXPECTED;
      r.message = e.what();
      return r;
    }
  }

 private:
  Outcome RunFile(const std::string& input, const std::string& output) {
    if (!output.empty()) {
      int32_t hr = sign_.SignFile(Lumo::AnsiToWide(input), Lumo::AnsiToWide(output),
                                  Lumo::AnsiToWide(o_.profile), o_.action);
      return hr ? FailureFromErrorInfo(hr) : Outcome{};
    }
    // To standard output: the same bytes a file would get, through a temporary file.
    TempFile temp;
    int32_t hr = sign_.SignFile(Lumo::AnsiToWide(input), Lumo::AnsiToWide(temp.path),
                                Lumo::AnsiToWide(o_.profile), o_.action);
    if (hr) return FailureFromErrorInfo(hr);
    Outcome r;
    r.bytes = ReadInput(temp.path);
    return r;
  }

  Outcome RunText(const std::string& input, const std::string& output) {
    Lumo::WideString xml = InputText(input);
    Lumo::WideString value;
    int32_t hr = sign_.SignXml(xml, Lumo::AnsiToWide(o_.profile), o_.action, value);
    if (hr) return FailureFromErrorInfo(hr);
    return Deliver(value, output);
  }

  Outcome RunProfileObject(const std::string& input, const std::string& output) {
    if (!profile_) {
      profile_ = std::make_unique<AXProfile::TProfile>();
      profile_->put_Name(Lumo::AnsiToWide(o_.profile));
      profile_->put_TestMode(o_.testMode ? -1 : 0);
      profile_->put_Keyload(o_.keyload >= 0 ? o_.keyload : 0);
    }
    if (!opened_) {
      int32_t hr = profile_->Open();
      if (hr) return FailureFromErrorInfo(hr);
      opened_ = true;
    }
    Lumo::WideString xml = InputText(input);
    Lumo::WideString value;
    int32_t hr = profile_->Sign(xml, o_.action, value);
    if (hr) return FailureFromErrorInfo(hr);
    return Deliver(value, output);
  }

  // Text input: --text reads UTF-8; a file read for the Profile object is decoded as its
  // byte order mark or declaration says, as a file load would.
  Lumo::WideString InputText(const std::string& input) const {
    std::string bytes = ReadInput(input);
    if (o_.text) return Lumo::WideFromUtf8(bytes);
    return DecodeXmlText(bytes);
  }

  static Outcome Deliver(const Lumo::WideString& value, const std::string& output) {
    Outcome r;
    std::string bytes = Lumo::Utf8FromWide(value);
    if (output.empty()) {
      r.bytes = std::move(bytes);
    } else {
      DEZ::Sign::WriteOutputFile(output, bytes);
    }
    return r;
  }

  const Options& o_;
  AXCBRSign::TCBRSign sign_;
  std::unique_ptr<AXProfile::TProfile> profile_;
  bool opened_ = false;
};

std::string FormatDuration(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
  return buffer;
}

int RunBatch(const Options& o) {
  std::error_code ec;
  fs::create_directories(o.outDir, ec);
  if (!fs::is_directory(o.outDir)) {
    std::fprintf(stderr, "dezsign: cannot create output folder \"%s\"\n", o.outDir.c_str());
    return kExitFailure;
  }
  unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = std::min<unsigned>(jobs, static_cast<unsigned>(o.inputs.size()));

  std::atomic<size_t> next{0}, done{0}, failed{0};
  std::mutex reportLock;
  const bool progress = isatty(2) != 0;
  const auto start = std::chrono::steady_clock::now();
  auto lastShown = start;

  auto worker = [&] {
    Worker w(o);
    for (;;) {
      size_t i = next++;
      if (i >= o.inputs.size()) break;
      const std::string& input = o.inputs[i];
      const std::string output = (fs::path(o.outDir) / fs::path(input).filename()).string();
      Outcome r = w.Run(input, output);
      size_t finished = ++done;
      std::lock_guard<std::mutex> lock(reportLock);
      if (r.status) {
        ++failed;
        std::fprintf(stderr, "%sdezsign: %s: %s (status %s)\n", progress ? "\r\033[K" : "",
                     input.c_str(), r.message.c_str(), StatusHex(r.status).c_str());
      }
      auto now = std::chrono::steady_clock::now();
      if (progress && (now - lastShown > std::chrono::milliseconds(100) || finished == o.inputs.size())) {
        lastShown = now;
        double elapsed = std::chrono::duration<double>(now - start).count();
        double rate = elapsed > 0 ? finished / elapsed : 0;
        double eta = rate > 0 ? (o.inputs.size() - finished) / rate : 0;
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %.1f files/s, ETA %s", finished, o.inputs.size(),
                     rate, FormatDuration(eta).c_str());
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(worker);
  worker();
  for (auto& t : threads) t.join();

  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (progress) std::fprintf(stderr, "\r\033[K");
  std::fprintf(stderr, "dezsign: %zu of %zu files done in %.2f s (%.1f files/s, %u workers), %zu failed\n",
               o.inputs.size() - failed.load(), o.inputs.size(), elapsed,
               elapsed > 0 ? o.inputs.size() / elapsed : 0.0, jobs, failed.load());
  return failed ? kExitFailure : kExitOk;
}

int RunAction(int32_t action, const std::vector<std::string>& args, size_t first) {
  Options o;
  try {
    o = ParseOptions(action, args, first);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dezsign: %s (see dezsign --help)\n", e.what());
    return kExitUsage;
  }
  if (!o.provider.empty()) DEZ::Sign::SetProviderLibrary(o.provider);
  if (o.inputs.size() > 1 || !o.outDir.empty()) return RunBatch(o);

  std::string output = o.output;
  if (output == "-") output.clear();
  Worker w(o);
  Outcome r = w.Run(o.inputs[0], output);
  if (r.status) {
    std::fprintf(stderr, "dezsign: %s (status %s)\n", r.message.c_str(), StatusHex(r.status).c_str());
    return kExitFailure;
  }
  if (output.empty()) WriteStdout(r.bytes);
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
  int32_t action = 0;
  try {
    action = ParseInt(code, "action code");
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dezsign: %s (see dezsign --help)\n", e.what());
    return kExitUsage;
  }
  return RunAction(action, args, first);
}

constexpr const char* kOptionsHelp =
    "  dezsign ACTION [options] INPUT [-o OUTPUT]\n"
    "  dezsign ACTION [options] INPUT... --out-dir DIR [-j N]\n"
    "  dezsign --code N [options] INPUT [-o OUTPUT]\n"
    "    ACTION: childs, root, envelope, verify, extract, base64-envelope\n"
    "    -p, --profile NAME   key profile of the crypto provider\n"
    "    --provider PATH      crypto provider library, a path or file name (default:\n"
    "                         $LUMODEZ_PROVIDER, else libspki1.so)\n"
    "    -t, --test-mode      no provider: the signature of the data is the data itself\n"
    "    --silent             never ask for a PIN (opens keys with the silent flag)\n"
    "    --text               read INPUT as UTF-8 text (as the text call does); default for\n"
    "                         INPUT - and for base64-envelope\n"
    "    --profile-object     hold one key profile open per worker (Profile object)\n"
    "    --keyload MODE       default, silent or loud (with --profile-object)\n"
    "    -o, --output FILE    result file (UTF-8, written only when complete); default stdout\n"
    "    --out-dir DIR        batch: one result per input, same file name, in DIR\n"
    "    -j, --jobs N         batch workers (default: number of cores)";

const CommandRegistrar kChilds({"childs", kOptionsHelp, "sign each child element of the root", &RunNamed<1>, 20});
const CommandRegistrar kRoot({"root", "", "sign the document (dsig:SigValue as the root's first child)", &RunNamed<2>, 21});
const CommandRegistrar kEnvelope({"envelope", "", "wrap the document and its signature into an envelope", &RunNamed<3>, 22});
const CommandRegistrar kVerify({"verify", "", "verify an envelope and print the enclosed document", &RunNamed<4>, 23});
const CommandRegistrar kExtract({"extract", "", "take the document out of an envelope without checking", &RunNamed<5>, 24});
const CommandRegistrar kBase64({"base64-envelope", "", "sign Base64 data and wrap it into an envelope", &RunNamed<6>, 25});
const CommandRegistrar kCode({"--code", "", "run a raw action code (low 8 bits)", &RunCode, 26});

}  // namespace
}  // namespace DezsignTool
