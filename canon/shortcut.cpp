// The reference switch and the count of answers behind every shortcut (shortcut.h).
#include "canon/shortcut.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Lumo::Canon::Shortcuts {

namespace {

std::atomic<bool>& ForcedFlag() {
  static std::atomic<bool> flag = [] {
    const char* value = std::getenv("LUMO_CANON_REFERENCE");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return flag;
}

std::array<std::atomic<uint64_t>, kCount>& Counts() {
  static std::array<std::atomic<uint64_t>, kCount> counts{};
  return counts;
}

}  // namespace

bool ReferenceForced() { return ForcedFlag().load(std::memory_order_relaxed); }

void ForceReference(bool on) { ForcedFlag().store(on, std::memory_order_relaxed); }

uint64_t Answers(Shortcut s) {
  return Counts()[static_cast<size_t>(s)].load(std::memory_order_relaxed);
}

void CountAnswer(Shortcut s) {
  Counts()[static_cast<size_t>(s)].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace Lumo::Canon::Shortcuts
