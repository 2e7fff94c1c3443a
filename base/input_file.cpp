#include "base/input_file.h"

#include <cerrno>
#include <cstdio>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Lumo::Base {

#ifdef _WIN32

InputFile::InputFile(const AnsiString& fileName) {
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  file_ = f;
  if (!f) return;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long size = std::ftell(f);
    if (size > 0) toldSize_ = static_cast<size_t>(size);
  }
  std::rewind(f);
}

InputFile::~InputFile() {
  if (file_) std::fclose(static_cast<std::FILE*>(file_));
}

bool InputFile::IsOpen() const noexcept { return file_ != nullptr; }

size_t InputFile::Read(char* into, size_t n) {
  std::FILE* f = static_cast<std::FILE*>(file_);
  size_t got = std::fread(into, 1, n, f);
  if (got == 0 && std::ferror(f)) failed_ = true;
  return got;
}

#else

InputFile::InputFile(const AnsiString& fileName) {
  do fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) return;
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    toldSize_ = static_cast<size_t>(st.st_size);
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::IsOpen() const noexcept { return fd_ >= 0; }

size_t InputFile::Read(char* into, size_t n) {
  size_t got = 0;
  // As fread: the request filled, unless the end or an error comes first; once seen,
  // the end is not asked for again. A short read that reaches the size the file told is
  // its end: the read that would confirm it with nothing is spared (a small file is read
  // with one call). A short read before that size reads on.
  while (got < n && !ended_) {
    ssize_t r = ::read(fd_, into + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) failed_ = true;
    if (r <= 0) {
      ended_ = true;
      break;
    }
    got += static_cast<size_t>(r);
    readSoFar_ += static_cast<size_t>(r);
    if (toldSize_ > 0 && got < n && readSoFar_ >= toldSize_) ended_ = true;
  }
  return got;
}

#endif

FileRead ReadWholeFile(const AnsiString& fileName, ByteString& bytes) {
  bytes.clear();
  InputFile file(fileName);
  if (!file.IsOpen()) return FileRead::kCannotOpen;
  // One byte more than the file tells: a file that did not grow is read whole, and its
  // end seen, by the first read.
  size_t step = file.ToldSize() > 0 ? file.ToldSize() + 1 : 65536;
  size_t have = 0;
  for (;;) {
    if (bytes.size() == have) bytes.resize(have + step);
    const size_t got = file.Read(bytes.data() + have, bytes.size() - have);
    have += got;
    if (have < bytes.size()) break;  // the end, or an error
    step = 65536;
  }
  bytes.resize(have);
  return file.Failed() ? FileRead::kCannotRead : FileRead::kDone;
}

}  // namespace Lumo::Base
