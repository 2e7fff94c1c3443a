// A growable in-memory byte stream with a position, the container that Base64
// decoding writes into and that documents are loaded from.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace Lumo::Base {

class TMemoryStream {
 public:
  size_t Size() const noexcept { return data_.size(); }
  size_t Position() const noexcept { return position_; }
  void SetPosition(size_t position) noexcept { position_ = std::min(position, data_.size()); }

  // Writes at the current position, overwriting or extending; advances the position.
  void Write(const void* bytes, size_t count) {
    if (position_ + count > data_.size()) data_.resize(position_ + count);
    std::memcpy(data_.data() + position_, bytes, count);
    position_ += count;
  }
  void WriteByte(unsigned char byte) {
    if (position_ == data_.size()) {
      data_.push_back(static_cast<char>(byte));
    } else {
      data_[position_] = static_cast<char>(byte);
    }
    ++position_;
  }
  void Reserve(size_t bytes) { data_.reserve(bytes); }

  // Everything from the current position to the end.
  std::string_view Remaining() const noexcept { return std::string_view(data_).substr(position_); }
  const std::string& Data() const noexcept { return data_; }
  std::string TakeData() noexcept {
    position_ = 0;
    return std::move(data_);
  }

 private:
  std::string data_;
  size_t position_ = 0;
};

}  // namespace Lumo::Base
