#include "frame_splitter.h"

namespace ostrel::standins {

std::vector<std::vector<std::uint8_t>> FrameSplitter::feed(std::span<const std::uint8_t> bytes) {
  std::vector<std::vector<std::uint8_t>> frames;
  if (broken_) {
    invalid_ += bytes.size();
    return frames;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  std::size_t used = 0;
  while (pending_.size() - used >= kFrameHeaderSize) {
    const std::uint32_t length = decodeFrameLength(
        std::span<const std::uint8_t, kFrameHeaderSize>(pending_.data() + used, kFrameHeaderSize));
    if (static_cast<std::int64_t>(length) > maxLength_) {
      broken_ = true;
      brokenLength_ = length;
      invalid_ += pending_.size() - used;
      pending_.clear();
      return frames;
    }
    if (pending_.size() - used - kFrameHeaderSize < length) break;
    const auto begin = pending_.begin() + static_cast<std::ptrdiff_t>(used + kFrameHeaderSize);
    frames.emplace_back(begin, begin + length);
    used += kFrameHeaderSize + length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
  return frames;
}

}  // namespace ostrel::standins
