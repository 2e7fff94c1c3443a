#include "tools/xml_text.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#else
#include <fstream>
#endif

#include "tools/spool.h"

namespace Lumo::Tool {

#ifndef _WIN32

void CaptureFileOutput(const std::function<void(const std::string& fileName)>& write, Spool& into) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  std::exception_ptr spoolError;
  std::thread reader([&into, &spoolError, in = ends[0]] {
    char buffer[1 << 16];
    for (;;) {
      ssize_t n = ::read(in, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      // After a failure the pipe is still drained, so that the writer is never stuck.
      if (spoolError) continue;
      try {
        into.Write(std::string_view(buffer, static_cast<size_t>(n)));
      } catch (...) {
        spoolError = std::current_exception();
      }
    }
  });
  struct Finish {  // the reader sees the end once the writer's own descriptor is closed too
    int out, in;
    std::thread& reader;
    ~Finish() {
      ::close(out);
      reader.join();
      ::close(in);
    }
  };
  {
    Finish finish{ends[1], ends[0], reader};
    write("/dev/fd/" + std::to_string(ends[1]));
  }
  if (spoolError) std::rethrow_exception(spoolError);
}

#else

void CaptureFileOutput(const std::function<void(const std::string& fileName)>& write, Spool& into) {
  char name[L_tmpnam];
  if (!std::tmpnam(name)) throw std::runtime_error("cannot make a temporary file name");
  struct Remove {
    const char* name;
    ~Remove() { std::remove(name); }
  } remove{name};
  write(name);
  std::ifstream file(name, std::ios::binary);
  char buffer[1 << 16];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0)
    into.Write(std::string_view(buffer, static_cast<size_t>(file.gcount())));
}

#endif

}  // namespace Lumo::Tool
