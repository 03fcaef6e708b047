#include "tools/common/frame_splitter.h"

#include <algorithm>
#include <cstring>

namespace ostrel::common {

std::span<std::uint8_t> FrameSplitter::room(std::size_t size) {
  if (begin_ > 0) {
    // Payloads handed out so far may be overwritten now.
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() - end_ < size) buffer_.resize(end_ + size);
  return {buffer_.data() + end_, buffer_.size() - end_};
}

void FrameSplitter::commit(std::size_t count) {
  if (broken_) {
    invalid_ += count;  // past a bad header nothing can be followed
    return;
  }
  end_ += count;
}

void FrameSplitter::feed(std::span<const std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), room(bytes.size()).begin());
  commit(bytes.size());
}

std::optional<std::span<const std::uint8_t>> FrameSplitter::next() {
  if (broken_ || end_ - begin_ < kHeaderBytes) return std::nullopt;
  const std::uint32_t length =
      lengthOf(std::span<const std::uint8_t, kHeaderBytes>(buffer_.data() + begin_, kHeaderBytes));
  if (static_cast<std::int64_t>(length) > maxLength_) {
    broken_ = true;
    brokenLength_ = length;
    invalid_ += end_ - begin_;
    begin_ = end_ = 0;
    return std::nullopt;
  }
  if (end_ - begin_ - kHeaderBytes < length) return std::nullopt;
  const std::span<const std::uint8_t> payload(buffer_.data() + begin_ + kHeaderBytes, length);
  begin_ += kHeaderBytes + length;
  return payload;
}

}  // namespace ostrel::common
