// The options the document commands share, read once for all of them.
#include "tools/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "tools/command.h"

namespace Lumo::Tool {

namespace {

// A worker count is decimal: "-j 010" means ten workers, not eight.
unsigned ParseJobs(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v < 1 || v > 256)
    throw UsageError("-j takes a number from 1 to 256");
  return static_cast<unsigned>(v);
}

}  // namespace

void ReadDocumentOptions(const std::vector<std::string>& args, size_t first, DocumentOptions& o,
                         const OtherOption& other) {
  bool endOfOptions = false;
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (endOfOptions || a == "-" || a.empty() || a[0] != '-') {
      o.inputs.push_back(a);
      continue;
    }
    if (a == "--") {
      endOfOptions = true;
      continue;
    }
    // The GNU forms: --name=VALUE, and -xVALUE for a one-letter option.
    const bool isLong = a.rfind("--", 0) == 0;
    const size_t cut = isLong ? a.find('=') : (a.size() > 2 ? 2 : std::string::npos);
    const std::string name = a.substr(0, cut);
    const std::optional<std::string> attached =
        cut == std::string::npos ? std::nullopt
                                 : std::optional<std::string>(a.substr(cut + (isLong ? 1 : 0)));
    bool attachedTaken = false;
    const std::function<const std::string&()> value = [&]() -> const std::string& {
      if (attached) {
        attachedTaken = true;
        return *attached;
      }
      if (i + 1 >= args.size()) throw UsageError("option " + name + " needs a value");
      return args[++i];
    };
    if (name == "-p" || name == "--profile") {
      o.profile = value();
    } else if (name == "--provider") {
      o.provider = value();
      if (o.provider.empty()) throw UsageError("--provider needs a library name or path");
    } else if (name == "-t" || name == "--test-mode") {
      o.testMode = true;
    } else if (name == "-q" || name == "--quiet") {
      o.quiet = true;
    } else if (name == "-j" || name == "--jobs") {
      o.jobs = ParseJobs(value());
    } else if (!other(name, value)) {
      throw UsageError("unknown option " + (isLong ? name : a));
    }
    if (attached && !attachedTaken)
      throw UsageError(isLong ? "option " + name + " takes no value" : "unknown option " + a);
  }
  if (o.inputs.empty()) throw UsageError("no input given (a file name, or - for standard input)");
}

void RefuseStandardInputInBatch(const std::vector<std::string>& inputs) {
  if (inputs.size() > 1 && std::count(inputs.begin(), inputs.end(), std::string("-")))
    throw UsageError("standard input (-) cannot be part of a batch");
}

int32_t ParseInt32(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end || errno || v < INT32_MIN || v > UINT32_MAX)
    throw UsageError(std::string("invalid ") + what + " \"" + text + "\"");
  return static_cast<int32_t>(v);
}

}  // namespace Lumo::Tool
