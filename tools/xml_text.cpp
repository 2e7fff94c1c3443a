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

#include "base/encoding.h"
#include "dom/encoding_detect.h"
#include "tools/spool.h"

namespace Lumo::Tool {

namespace {

Lumo::Base::WideString DecodeUtf16(std::string_view bytes, bool bigEndian) {
  if (bytes.size() % 2) throw std::runtime_error("UTF-16 text ends in the middle of a character");
  Lumo::Base::WideString out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned char a = static_cast<unsigned char>(bytes[i]);
    unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
    out.push_back(static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a));
  }
  return out;
}

// UTF-8 bytes as text; bytes that are not UTF-8 are refused as the file loader refuses
// them, never repaired with U+FFFD and then signed.
Lumo::Base::WideString FromUtf8(std::string_view bytes, size_t skipped) {
  const size_t bad = Lumo::Base::InvalidUtf8Offset(bytes);
  if (bad != std::string_view::npos)
    throw std::runtime_error("the input is not valid UTF-8 (byte offset " +
                             std::to_string(skipped + bad) + ")");
  return Lumo::Base::WideFromUtf8(bytes);
}

}  // namespace

Lumo::Base::WideString DecodeXmlText(const std::string& bytes) {
  using Lumo::Dom::DetectedEncoding;
  const std::string_view b(bytes);
  const DetectedEncoding enc = Lumo::Dom::DetectEncoding(b);
  switch (enc.kind) {
    case DetectedEncoding::kUtf8: return FromUtf8(b.substr(enc.bomLength), enc.bomLength);
    case DetectedEncoding::kUtf16LE: return DecodeUtf16(b.substr(enc.bomLength), false);
    case DetectedEncoding::kUtf16BE: return DecodeUtf16(b.substr(enc.bomLength), true);
    case DetectedEncoding::kCodePage: return Lumo::Base::AnsiToWideCP(b, enc.codePage);
    case DetectedEncoding::kSwitch: throw std::runtime_error("UTF-16 text needs a byte order mark");
    case DetectedEncoding::kUnsupported: break;
  }
  throw std::runtime_error("unknown encoding \"" +
                           std::string(b.substr(enc.namePos, enc.nameEnd - enc.namePos)) + "\"");
}

std::string_view Utf8XmlText(const std::string& bytes, std::string& converted) {
  const Lumo::Dom::DetectedEncoding enc = Lumo::Dom::DetectEncoding(bytes);
  if (enc.kind == Lumo::Dom::DetectedEncoding::kUtf8) {
    const std::string_view text = std::string_view(bytes).substr(enc.bomLength);
    const size_t bad = Lumo::Base::InvalidUtf8Offset(text);
    if (bad != std::string_view::npos)
      throw std::runtime_error("the input is not valid UTF-8 (byte offset " +
                               std::to_string(enc.bomLength + bad) + ")");
    return text;
  }
  // One unit at a time, then the pairs joined: a lone surrogate keeps its own sequence.
  converted = Lumo::Base::Utf8Encode(DecodeXmlText(bytes));
  Lumo::Base::JoinEncodedSurrogatePairs(converted);
  return converted;
}

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
