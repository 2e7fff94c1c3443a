#include "tools/xml_text.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "util/encoding.h"

namespace DezsignTool {

namespace {

Lumo::WideString DecodeUtf16(std::string_view bytes, bool bigEndian) {
  Lumo::WideString out;
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

}  // namespace

Lumo::WideString DecodeXmlText(const std::string& bytes) {
  std::string_view b(bytes);
  if (b.size() >= 3 && b.substr(0, 3) == "\xEF\xBB\xBF") return Lumo::WideFromUtf8(b.substr(3));
  if (b.size() >= 2 && b.substr(0, 2) == "\xFF\xFE") return DecodeUtf16(b.substr(2), false);
  if (b.size() >= 2 && b.substr(0, 2) == "\xFE\xFF") return DecodeUtf16(b.substr(2), true);
  std::string name = DeclaredEncoding(b);
  if (name.empty()) return Lumo::WideFromUtf8(b);
  uint32_t codePage = Lumo::CodePageFromName(name);
  if (codePage == 0) throw std::runtime_error("unknown encoding \"" + name + "\"");
  if (codePage == 65001) return Lumo::WideFromUtf8(b);
  if (codePage == 1200 || codePage == 1201)
    throw std::runtime_error("UTF-16 text needs a byte order mark");
  return Lumo::AnsiToWideCP(b, codePage);
}

TempFile::TempFile() {
  std::string folder = std::filesystem::temp_directory_path().string();
#ifdef _WIN32
  char name[L_tmpnam];
  if (!std::tmpnam(name)) throw std::runtime_error("cannot make a temporary file name");
  path = name;
#else
  std::string pattern = folder + "/dezsign-XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("cannot create a temporary file in " + folder);
  close(fd);
  path = pattern;
#endif
}

TempFile::~TempFile() { std::remove(path.c_str()); }

}  // namespace DezsignTool
