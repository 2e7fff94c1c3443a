// A large text read once from start to end, whose pages are given back to the system
// behind the reader.
//
// A writer that walks once through a large text (the canonical text a result is written
// from, the bytes whose Base64 goes into an envelope) would hold the whole text to its
// end while the result it makes grows: at the end both are held at once. Giving back the
// pages already read lets the result take their place.
//
// Guarantee: only whole pages that lie inside [from, to) of a ReadUpTo call are given
// back, never a byte outside the text. Those pages then read as zero bytes: a caller that
// says a range is read must never read it again. The text itself stays owned and freed
// by its owner as usual. Where the system cannot give back pages of the C allocator's
// memory (Windows), nothing is given back and the text reads as it was.
#pragma once

#include <cstddef>
#include <string_view>

namespace Lumo::Base {

class ReadOnceText {
 public:
  explicit ReadOnceText(std::string_view text) noexcept : text_(text) {}
  ReadOnceText(const ReadOnceText&) = delete;
  ReadOnceText& operator=(const ReadOnceText&) = delete;

  // The bytes [from, to) of the text have been read for the last time. Pages are given
  // back once at least 256 KB have gathered, not at every call.
  void ReadUpTo(size_t from, size_t to) noexcept;
  std::string_view Text() const noexcept { return text_; }

 private:
  std::string_view text_;
  size_t givenBackTo_ = 0;  // offset in the text: pages before it went back
};

}  // namespace Lumo::Base
