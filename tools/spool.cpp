#include "tools/spool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "tools/command.h"

namespace Lumo::Tool {

namespace {

constexpr size_t kInMemory = 1 << 20;

[[noreturn]] void Fail(int error) {
  if (error == 0) error = EIO;  // a short write that left no reason
  throw std::runtime_error(std::string("cannot keep the result: ") + std::strerror(error));
}

// A temporary file that no other process can open: removed from its folder at once.
std::FILE* NamelessFile() {
#ifdef _WIN32
  std::FILE* f = std::tmpfile();
  if (!f) Fail(errno);
  return f;
#else
  const char* dir = std::getenv("TMPDIR");
  std::string name = std::string(dir && *dir ? dir : "/tmp") + "/dezsign-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) Fail(errno);
  ::unlink(name.c_str());
  std::FILE* f = ::fdopen(fd, "w+b");
  if (!f) {
    const int error = errno;
    ::close(fd);
    Fail(error);
  }
  return f;
#endif
}

}  // namespace

Spool::~Spool() {
  if (file_) std::fclose(file_);
}

void Spool::Spill() {
  file_ = NamelessFile();
  if (std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size()) Fail(errno);
  std::string().swap(memory_);
}

void Spool::Write(std::string_view bytes) {
  if (!file_ && memory_.size() + bytes.size() <= kInMemory) {
    memory_.append(bytes);
    return;
  }
  if (!file_) Spill();
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) Fail(errno);
}

void Spool::CopyToStdout() {
  if (!file_) {
    WriteStdout(memory_);
    return;
  }
  if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) Fail(errno);
  std::string buffer(1 << 16, '\0');
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file_)) > 0)
    WriteStdout(std::string_view(buffer.data(), n));
  if (std::ferror(file_)) Fail(errno);
}

}  // namespace Lumo::Tool
