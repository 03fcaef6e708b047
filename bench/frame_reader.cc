#include "frame_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channel/frame.h"

namespace ostrel::bench {

FrameReader::FrameReader(int fd) : fd_(fd), buffer_(2 * kMaxMessageLength + 2 * kFrameHeaderSize) {}

// Makes at least `wanted` bytes available from begin_. False at end of stream or error.
bool FrameReader::fill(std::size_t wanted) {
  if (end_ - begin_ >= wanted) return true;
  if (buffer_.size() - begin_ < wanted) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ - begin_ < wanted) {
    const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = failed_ || end_ > begin_;
      return false;
    }
    end_ += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::span<const std::uint8_t>> FrameReader::next() {
  if (failed_ || !fill(kFrameHeaderSize)) return std::nullopt;
  const std::uint32_t length = decodeFrameLength(
      std::span<const std::uint8_t, kFrameHeaderSize>(buffer_.data() + begin_, kFrameHeaderSize));
  if (length > kMaxMessageLength) {
    failed_ = true;
    return std::nullopt;
  }
  if (!fill(kFrameHeaderSize + length)) return std::nullopt;
  const std::uint8_t* payload = buffer_.data() + begin_ + kFrameHeaderSize;
  begin_ += kFrameHeaderSize + length;
  if (begin_ == end_) begin_ = end_ = 0;
  return std::span<const std::uint8_t>(payload, length);
}

}  // namespace ostrel::bench
