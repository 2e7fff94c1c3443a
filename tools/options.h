// The command line of the commands that work on documents: the options they share are
// read in one place, so that -p, --provider, -t and -j mean the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Lumo::Tool {

struct DocumentOptions {
  std::string profile;
  std::string provider;  // empty: LUMODEZ_PROVIDER, else the default library
  bool testMode = false;
  unsigned jobs = 0;   // 0: one per core
  bool quiet = false;  // only failures are printed
  std::vector<std::string> inputs;
};

// Hands a command its own options: returns false for one it does not know. `value` takes
// the option's value: the part after "=" (--name=VALUE) or after the letter (-xVALUE), else
// the next argument (UsageError when there is none). An option that takes no value is
// refused with one attached.
using OtherOption = std::function<bool(const std::string& option,
                                       const std::function<const std::string&()>& value)>;

// Reads args[first...]: inputs ("-" and everything after "--" included), -p/--profile,
// --provider, -t/--test-mode, -j/--jobs, -q/--quiet into `o`; any other option goes to
// `other`. Every option with a value takes the GNU forms too: --profile=NAME, -pNAME, -j4.
// Throws UsageError for an unknown option, a missing or bad value, or no input at all.
void ReadDocumentOptions(const std::vector<std::string>& args, size_t first, DocumentOptions& o,
                         const OtherOption& other);

// Standard input can be read once only: throws UsageError when a batch names it.
void RefuseStandardInputInBatch(const std::vector<std::string>& inputs);

// A whole number as C reads it (decimal, 0x hexadecimal, 0 octal) that fits 32 bits,
// signed or not; throws UsageError "invalid <what> \"text\"" otherwise.
int32_t ParseInt32(const std::string& text, const char* what);

}  // namespace Lumo::Tool
