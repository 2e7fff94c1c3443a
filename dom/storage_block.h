// Memory for a document's storage: node blocks and text chunks.
//
// Large blocks come from the operating system's page allocator and go straight back to
// it when the document is freed. Left to the C allocator, blocks of a megabyte stay with
// the process after a free (the allocator raises its threshold for returning memory to
// the size of the largest block freed) and are reused only by allocations that fit: a
// signing run that parses and frees a handful of documents in turn then holds the memory
// of all of them at once.
#pragma once

#include <cstddef>

namespace Lumo::Dom {

struct StorageBlock {
  void* data;
  size_t bytes;
};

// Throws std::bad_alloc when no memory is left.
StorageBlock AllocateStorageBlock(size_t bytes);
void FreeStorageBlock(const StorageBlock& block) noexcept;

}  // namespace Lumo::Dom
