// Storage blocks: the C allocator below kPagedBytes, the page allocator from there on.
#include "dom/storage_block.h"

#include <cstdlib>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace Lumo::Dom {

namespace {
constexpr size_t kPagedBytes = 256 * 1024;
}

StorageBlock AllocateStorageBlock(size_t bytes) {
  void* p;
  if (bytes < kPagedBytes) {
    p = std::malloc(bytes);
  } else {
#ifdef _WIN32
    p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    // Populated at once: the storage fills a block from start to end, and one call
    // maps the pages for less than one fault per page would.
    p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1,
             0);
    if (p == MAP_FAILED) p = nullptr;
#endif
  }
  if (!p) throw std::bad_alloc();
  return {p, bytes};
}

void FreeStorageBlock(const StorageBlock& block) noexcept {
  if (!block.data) return;
  if (block.bytes < kPagedBytes) {
    std::free(block.data);
    return;
  }
#ifdef _WIN32
  VirtualFree(block.data, 0, MEM_RELEASE);
#else
  munmap(block.data, block.bytes);
#endif
}

}  // namespace Lumo::Dom
