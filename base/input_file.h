// A file read from its start to its end: whole, or piece by piece.
//
// A batch reads thousands of small files; every system call counts there. On POSIX a
// small file costs an open, a look at its size, one read that takes it whole, and a close;
// on Windows the C library's streams are used.
#pragma once

#include <cstddef>
#include <string>

#include "base/types.h"

namespace Lumo::Base {

class InputFile {
 public:
  // Opens the file; IsOpen() tells whether that worked, errno why not.
  explicit InputFile(const AnsiString& fileName);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool IsOpen() const noexcept;
  // The size a regular file tells when opened; 0 for one that tells none (a pipe).
  size_t ToldSize() const noexcept { return toldSize_; }
  // Up to n bytes into `into`; 0 at the end or on a read error (Failed() tells which).
  size_t Read(char* into, size_t n);
  bool Failed() const noexcept { return failed_; }

 private:
#ifdef _WIN32
  void* file_ = nullptr;  // std::FILE*
#else
  int fd_ = -1;
#endif
  size_t toldSize_ = 0;
  bool failed_ = false;
  bool ended_ = false;    // the end or an error was met
  size_t readSoFar_ = 0;  // POSIX: bytes read, set against the size told
};

enum class FileRead { kDone, kCannotOpen, kCannotRead };

// The whole file into bytes (replaced), sized once from the size the file tells: a buffer
// grown by doubling would leave a trail of freed large blocks, and the allocator answers
// those by keeping later large blocks instead of returning them. kCannotOpen leaves the
// reason in errno.
FileRead ReadWholeFile(const AnsiString& fileName, ByteString& bytes);

}  // namespace Lumo::Base
