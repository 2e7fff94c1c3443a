#include "tools/xml_text.h"

#include <cstdio>
#include <cstdlib>
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
#include <iterator>
#endif

#include "base/encoding.h"

namespace Lumo::Tool {

namespace {

Lumo::Base::WideString DecodeUtf16(std::string_view bytes, bool bigEndian) {
  Lumo::Base::WideString out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned char a = static_cast<unsigned char>(bytes[i]);
    unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
    out.push_back(static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a));
  }
  return out;
}

// The value of encoding="..." in a leading declaration, or empty.
std::string DeclaredEncoding(std::string_view bytes) {
  if (bytes.rfind("<?xml", 0) != 0) return {};
  size_t end = bytes.find("?>");
  std::string_view decl = bytes.substr(0, end);
  size_t at = decl.find("encoding");
  if (at == std::string_view::npos) return {};
  at = decl.find_first_of("\"'", at);
  if (at == std::string_view::npos) return {};
  size_t close = decl.find(decl[at], at + 1);
  if (close == std::string_view::npos) return {};
  return std::string(decl.substr(at + 1, close - at - 1));
}

// UTF-8 bytes as text; bytes that are not UTF-8 are refused as the file loader refuses
// them, never repaired with U+FFFD and then signed.
Lumo::Base::WideString FromUtf8(std::string_view bytes, size_t skipped) {
  const size_t bad = Lumo::Base::InvalidUtf8Offset(bytes);
  if (bad != std::string_view::npos)
    throw std::runtime_error("the input is not valid UTF-8 (byte offset " + std::to_string(skipped + bad) + ")");
  return Lumo::Base::WideFromUtf8(bytes);
}

}  // namespace

Lumo::Base::WideString DecodeXmlText(const std::string& bytes) {
  std::string_view b(bytes);
  if (b.size() >= 3 && b.substr(0, 3) == "\xEF\xBB\xBF") return FromUtf8(b.substr(3), 3);
  if (b.size() >= 2 && b.substr(0, 2) == "\xFF\xFE") return DecodeUtf16(b.substr(2), false);
  if (b.size() >= 2 && b.substr(0, 2) == "\xFE\xFF") return DecodeUtf16(b.substr(2), true);
  std::string name = DeclaredEncoding(b);
  if (name.empty()) return FromUtf8(b, 0);
  uint32_t codePage = Lumo::Base::CodePageFromName(name);
  if (codePage == 0) throw std::runtime_error("unknown encoding \"" + name + "\"");
  if (codePage == 65001) return FromUtf8(b, 0);
  if (codePage == 1200 || codePage == 1201)
    throw std::runtime_error("UTF-16 text needs a byte order mark");
  return Lumo::Base::AnsiToWideCP(b, codePage);
}

#ifndef _WIN32

std::string CaptureFileOutput(const std::function<void(const std::string& fileName)>& write) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  std::string bytes;
  std::thread reader([&bytes, in = ends[0]] {
    char buffer[1 << 16];
    for (;;) {
      ssize_t n = ::read(in, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
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
  return bytes;
}

#else

std::string CaptureFileOutput(const std::function<void(const std::string& fileName)>& write) {
  char name[L_tmpnam];
  if (!std::tmpnam(name)) throw std::runtime_error("cannot make a temporary file name");
  struct Remove {
    const char* name;
    ~Remove() { std::remove(name); }
  } remove{name};
  write(name);
  std::ifstream file(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

#endif

}  // namespace Lumo::Tool
