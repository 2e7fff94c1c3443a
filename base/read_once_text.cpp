// Pages of a text already read, given back: madvise where the platform has it.
#include "base/read_once_text.h"

#include <algorithm>
#include <cassert>
#include <cstdint>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace Lumo::Base {

namespace {
// Fewer, larger calls: a 10 MB text goes back in about forty.
constexpr size_t kAtLeast = 256 * 1024;
}  // namespace

void ReadOnceText::ReadUpTo(size_t from, size_t to) noexcept {
  assert(from <= to && to <= text_.size());
#ifdef _WIN32
  // The heap's blocks cannot be decommitted piecemeal (VirtualFree on heap memory would
  // corrupt the heap): the text is kept whole.
  (void)from;
  (void)to;
#else
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto base = reinterpret_cast<uintptr_t>(text_.data());
  const uintptr_t begin = (base + std::max(from, givenBackTo_) + page - 1) / page * page;
  const uintptr_t end = (base + to) / page * page;
  if (end <= begin || end - begin < kAtLeast) return;
  // Anonymous private memory, which is what the C allocator hands out: the pages are
  // dropped at once and would read as zeros. The allocator keeps its own records at the
  // ends of a block, outside the whole pages taken here.
  if (madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED) == 0)
    givenBackTo_ = end - base;
#endif
}

}  // namespace Lumo::Base
