// The main of a fuzz target built as an ordinary program: runs LLVMFuzzerTestOneInput once
// on each file named on the command line (folders: every file in them and in their
// subfolders, README files aside), in name order. Included by a target's source under LUMO_FUZZ_REPLAY_MAIN.
#pragma once

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
