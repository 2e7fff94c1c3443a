// How failures are shown on the terminal: library messages keep their words, the CLI only
// frames them (file name, status) and keeps a parse error's copy of the source readable.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_name.h"
#include "tools/command.h"

namespace Lumo::Tool {

namespace {

constexpr int32_t kGenericStatus = static_cast<int32_t>(0x8000FFFF);
constexpr size_t kSourceWindow = 120;  // characters of a source line shown around the column
constexpr std::string_view kPosition = "\r\nPosition: ";

// Up to kSourceWindow characters of a UTF-8 line around column (1-based, in characters),
// control characters escaped, "..." where the line was cut.
std::string SourceWindow(std::string_view line, size_t column) {
  std::vector<size_t> starts;  // byte offset of each character
  for (size_t i = 0; i < line.size(); ++i)
    if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) starts.push_back(i);
  size_t count = starts.size();
  size_t at = column > 0 ? column - 1 : 0;
  size_t first = at > kSourceWindow / 2 ? at - kSourceWindow / 2 : 0;
  size_t last = std::min(count, first + kSourceWindow);
  if (last - first < kSourceWindow && last == count)
    first = count > kSourceWindow ? count - kSourceWindow : 0;
  std::string out = first > 0 ? "..." : "";
  size_t begin = first < count ? starts[first] : line.size();
  size_t end = last < count ? starts[last] : line.size();
  out += Lumo::Base::FileNameForMessage(line.substr(begin, end - begin));
  if (last < count) out += "...";
  return out;
}

// Line breaks as the terminal wants them.
std::string Unix(std::string text) {
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

// "reason\r\nPosition: L:C\r\nsource line" with the source line made safe to print.
std::string ReadableMessage(const std::string& message) {
  size_t position = message.find(kPosition);
  size_t lineEnd =
      position == std::string::npos ? position : message.find("\r\n", position + kPosition.size());
  if (lineEnd == std::string::npos) return Unix(message);
  std::string where =
      message.substr(position + kPosition.size(), lineEnd - position - kPosition.size());
  size_t colon = where.find(':');
  size_t column =
      colon == std::string::npos ? 0 : std::strtoul(where.c_str() + colon + 1, nullptr, 10);
  std::string source = SourceWindow(std::string_view(message).substr(lineEnd + 2), column);
  std::string out = Unix(message.substr(0, position)) + "\nPosition: " + where;
  if (!source.empty()) out += "\n" + source;
  return out;
}

}  // namespace

std::string FailureText(const std::string& name, const std::string& message, int32_t status) {
  std::string text = name.empty() ? "" : Lumo::Base::FileNameForMessage(name) + ": ";
  text += ReadableMessage(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (status != 0 && status != kGenericStatus) {
    char hex[32];
    std::snprintf(hex, sizeof hex, " (status 0x%08X)", static_cast<unsigned>(status));
    text += hex;
  }
  return text;
}

}  // namespace Lumo::Tool
