// Wide find-and-replace and zero-terminated wide buffers with a size prefix.
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/collation.h"
#include "base/encoding.h"

namespace Lumo::Base {

// --- Wide text routines -------------------------------------------------------------

WideString WideStringReplace(WideView text, WideView pattern, WideView replacement,
                             uint32_t flags) {
  if (text.empty()) return {};
  if (pattern.empty() || pattern.size() > text.size()) return WideString(text);
  const bool all = (flags & rfReplaceAll) != 0;
  WideString out;
  out.reserve(text.size() + (replacement.size() > pattern.size() ? text.size() / 4 : 0));
  size_t pos = 0;
  if ((flags & rfIgnoreCase) == 0) {
    while (pos <= text.size()) {
      const size_t hit = text.find(pattern, pos);
      if (hit == WideView::npos) break;
      out.append(text.data() + pos, hit - pos);
      out.append(replacement);
      pos = hit + pattern.size();
      if (!all) break;
    }
  } else {
    WideString foldedPattern(pattern);
    for (char16_t& c : foldedPattern) c = FoldCaseWide(c);
    const size_t m = foldedPattern.size();
    const char16_t first = foldedPattern[0];
    size_t i = pos;
    while (i + m <= text.size()) {
      if (FoldCaseWide(text[i]) == first) {
        size_t k = 1;
        while (k < m && FoldCaseWide(text[i + k]) == foldedPattern[k]) ++k;
        if (k == m) {
          out.append(text.data() + pos, i - pos);
          out.append(replacement);
          pos = i = i + m;
          if (!all) break;
          continue;
        }
      }
      ++i;
    }
  }
  out.append(text.data() + pos, text.size() - pos);
  return out;
}

size_t WideStrLen(const char16_t* s) {
  if (s == nullptr) return 0;
  const char16_t* p = s;
  while (*p) ++p;
  return static_cast<size_t>(p - s);
}

char16_t* WideStrAlloc(size_t chars) {
  const size_t bytes = 4 + 2 * chars;
  void* block = std::malloc(bytes < 6 ? 6 : bytes);
  if (block == nullptr) throw std::bad_alloc();
  const uint32_t recorded = static_cast<uint32_t>(bytes);
  std::memcpy(block, &recorded, 4);
  char16_t* s = reinterpret_cast<char16_t*>(static_cast<char*>(block) + 4);
  s[0] = 0;  // an empty string until the caller fills it
  return s;
}

char16_t* WideStrNew(const char16_t* s) {
  if (s == nullptr) return nullptr;
  const size_t n = WideStrLen(s) + 1;
  char16_t* r = WideStrAlloc(n);
  std::memcpy(r, s, n * sizeof(char16_t));
  return r;
}

void WideStrDispose(char16_t* s) {
  if (s == nullptr) return;
  std::free(reinterpret_cast<char*>(s) - 4);
}

}  // namespace Lumo::Base
