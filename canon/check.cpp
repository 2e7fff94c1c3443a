// The comparison behind every shortcut check, and its report.
#include "canon/check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/errors.h"

namespace Lumo::Canon::Check {

namespace {

constexpr size_t kContext = 60;  // bytes shown before and after the first difference

// The bytes around `at`, control and non-ASCII bytes as \xHH so that the report stays one
// readable line whatever the text holds.
std::string Excerpt(std::string_view bytes, size_t at) {
  size_t from = at > kContext ? at - kContext : 0;
  size_t to = std::min(bytes.size(), at + kContext);
  std::string shown = from > 0 ? "..." : "";
  for (size_t i = from; i < to; ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b >= 0x20 && b < 0x7F) {
      shown += static_cast<char>(b);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      shown += hex;
    }
  }
  if (to < bytes.size()) shown += "...";
  return shown;
}

[[noreturn]] void Abort(const std::string& report) {
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

std::string Disagreement(const char* shortcut, size_t inputSize, std::string_view taken,
                         std::string_view reference) {
  if (taken == reference) return {};
  size_t at = std::mismatch(taken.begin(), taken.begin() + std::min(taken.size(), reference.size()),
                            reference.begin())
                  .first -
              taken.begin();
  return "canonical form check: the shortcut \"" + std::string(shortcut) +
         "\" disagrees with the reference way\n  input size: " + std::to_string(inputSize) +
         " bytes; shortcut gave " + std::to_string(taken.size()) + " bytes, reference " +
         std::to_string(reference.size()) + "; first difference at offset " + std::to_string(at) +
         "\n  shortcut:  " + Excerpt(taken, at) + "\n  reference: " + Excerpt(reference, at) + "\n";
}

void Agrees(const char* shortcut, size_t inputSize, std::string_view taken,
            const std::function<Lumo::Base::ByteString()>& reference) {
  Lumo::Base::ByteString expected;
  try {
    expected = reference();
  } catch (const Lumo::Base::ELumoException& e) {
    Abort("canonical form check: the shortcut \"" + std::string(shortcut) +
          "\" answered where the reference way fails\n  input size: " + std::to_string(inputSize) +
          " bytes; reference error: " + e.what() + "\n");
  }
  std::string report = Disagreement(shortcut, inputSize, taken, expected);
  if (!report.empty()) Abort(report);
}

}  // namespace Lumo::Canon::Check
