// What the fuzz targets share: the report of a failed check, and (under
// LUMO_FUZZ_REPLAY_MAIN) the main of a target built as an ordinary program, which runs
// LLVMFuzzerTestOneInput once on each file named on the command line (folders: every
// file in them and in their subfolders, README files aside), in name order.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace FuzzSupport {

// Reports the failed check of `target` (with up to 600 characters of detail) and aborts,
// which libFuzzer records as a crash with its input.
[[noreturn]] inline void Fail(const char* target, const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "%s: %s\n", target, what);
  if (!detail.empty())
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size() > 600 ? 600 : detail.size()),
                 detail.data());
  std::abort();
}

// Wide text for a report: ASCII kept, anything else as '?'.
inline std::string Narrow(std::u16string_view w) {
  std::string s;
  for (char16_t c : w) s += c < 0x80 ? static_cast<char>(c) : '?';
  return s;
}

}  // namespace FuzzSupport

#ifdef LUMO_FUZZ_REPLAY_MAIN
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    fs::path p(argv[i]);
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      for (const auto& entry : fs::recursive_directory_iterator(p))
        if (entry.is_regular_file() && entry.path().filename().string().rfind("README", 0) != 0)
          files.push_back(entry.path());
    } else if (fs::exists(p, ec)) {
      files.push_back(p);
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    std::string data = s.str();
    std::fprintf(stderr, "replay %s\n", f.string().c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  std::printf("fuzz replay: %zu input(s) ran clean\n", files.size());
  return 0;
}
#endif  // LUMO_FUZZ_REPLAY_MAIN
