// A result for standard output, kept until it is known to be complete: standard output
// must never get half a result, yet a large result should not be held in memory.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace Lumo::Tool {

// The first megabyte stays in memory; the rest goes to a temporary file that has no name
// (in $TMPDIR, else /tmp) and disappears with the spool.
class Spool {
 public:
  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Throws std::runtime_error "cannot keep the result: <reason>".
  void Write(std::string_view bytes);
  // Everything written, to standard output (WriteStdout: every write checked).
  void CopyToStdout();

 private:
  void Spill();
  std::string memory_;
  std::FILE* file_ = nullptr;
};

}  // namespace Lumo::Tool
