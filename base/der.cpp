// ASN.1 elements read one after the other; see der.h.
#include "base/der.h"

namespace Lumo::Base {

bool DerReader::Fail(const char* why) {
  if (error_.empty()) error_ = why;
  return false;
}

bool DerReader::Next(DerElement& e) {
  if (rest_.empty() || !error_.empty()) return false;
  const std::string_view start = rest_;
  size_t at = 0;
  auto byte = [&](uint8_t& b) {
    if (at >= start.size()) return false;
    b = static_cast<uint8_t>(start[at++]);
    return true;
  };
  uint8_t b = 0;
  byte(b);
  e.tagClass = static_cast<DerClass>(b >> 6);
  e.constructed = (b & 0x20) != 0;
  e.tagNumber = b & 0x1F;
  if (e.tagNumber == 0x1F) {  // high tag number: base 128, at most four bytes here
    e.tagNumber = 0;
    for (int i = 0;; ++i) {
      if (i == 4 || !byte(b)) return Fail("tag number too long or cut short");
      e.tagNumber = (e.tagNumber << 7) | (b & 0x7F);
      if (!(b & 0x80)) break;
    }
  }
  if (!byte(b)) return Fail("length missing");
  if (b == 0x80) {
    // Indefinite length: the content runs to an end-of-contents marker at its own level,
    // found by reading the elements in between.
    if (!e.constructed) return Fail("indefinite length of a primitive element");
    if (depth_ <= 0) return Fail("nested too deep");
    DerReader inner(start.substr(at), depth_ - 1);
    const size_t contentAt = at;
    while (true) {
      if (inner.rest_.size() >= 2 && inner.rest_[0] == 0 && inner.rest_[1] == 0) break;
      DerElement child;
      if (!inner.Next(child)) {
        error_ = inner.Failed() ? inner.error_ : "end-of-contents missing";
        return false;
      }
    }
    const size_t contentEnd = start.size() - inner.rest_.size();
    e.content = start.substr(contentAt, contentEnd - contentAt);
    e.whole = start.substr(0, contentEnd + 2);
    rest_ = start.substr(contentEnd + 2);
    return true;
  }
  size_t length = b;
  if (b & 0x80) {
    const int count = b & 0x7F;
    if (count > 4) return Fail("length too long");
    length = 0;
    for (int i = 0; i < count; ++i) {
      if (!byte(b)) return Fail("length cut short");
      length = (length << 8) | b;
    }
  }
  if (length > start.size() - at) return Fail("content runs past the end");
  e.content = start.substr(at, length);
  e.whole = start.substr(0, at + length);
  rest_ = start.substr(at + length);
  return true;
}

bool DerReader::NextIf(DerClass cls, uint32_t number, DerElement& e) {
  DerReader probe = *this;
  DerElement seen;
  if (!probe.Next(seen) || !seen.Is(cls, number)) {
    if (probe.Failed()) error_ = probe.error_;
    return false;
  }
  *this = std::move(probe);
  e = seen;
  return true;
}

std::string DerOidText(std::string_view content) {
  std::string text;
  uint64_t value = 0;
  bool first = true;
  size_t digits = 0;
  for (size_t i = 0; i < content.size(); ++i) {
    const uint8_t b = static_cast<uint8_t>(content[i]);
    if (digits == 0 && b == 0x80) return {};  // no leading zero groups
    if (++digits > 9) return {};              // arcs beyond 63 bits are not read
    value = (value << 7) | (b & 0x7F);
    if (b & 0x80) continue;
    if (first) {
      const uint64_t top = value < 80 ? value / 40 : 2;
      text = std::to_string(top) + '.' + std::to_string(value - top * 40);
      first = false;
    } else {
      text += '.' + std::to_string(value);
    }
    value = 0;
    digits = 0;
  }
  return digits == 0 ? text : std::string();
}

}  // namespace Lumo::Base
