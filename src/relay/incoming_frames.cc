#include "relay/incoming_frames.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "channel/frame.h"

namespace ostrel {

std::span<std::uint8_t> IncomingFrames::tail(std::size_t capacity) {
  const std::size_t kept = size();
  if (begin_ > 0) {
    // Each byte moves at most once: only the partial frame left behind by
    // the previous read is carried to the start.
    if (kept > 0) std::memmove(storage_.get(), storage_.get() + begin_, kept);
    begin_ = 0;
    end_ = kept;
  }
  if (capacity_ - end_ < capacity) {
    std::size_t grown = capacity_ == 0 ? capacity : capacity_;
    while (grown - end_ < capacity) grown *= 2;
    auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
    if (kept > 0) std::memcpy(bigger.get(), storage_.get(), kept);
    storage_ = std::move(bigger);
    capacity_ = grown;
  }
  return {storage_.get() + end_, capacity};
}

void IncomingFrames::commit(std::size_t count) { end_ += count; }

IncomingFrames::CompleteRun IncomingFrames::completeFrames(std::int64_t maxMessageLength) const {
  const std::uint8_t* start = storage_.get() + begin_;
  std::size_t run = 0;
  for (;;) {
    const std::size_t left = size() - run;
    if (left < kFrameHeaderSize) return {{start, run}, Status::kIncomplete};
    const std::uint32_t length = decodeFrameLength(
        std::span<const std::uint8_t, kFrameHeaderSize>(start + run, kFrameHeaderSize));
    if (static_cast<std::int64_t>(length) > maxMessageLength) {
      return {{start, run}, Status::kTooLong};
    }
    if (left - kFrameHeaderSize < length) return {{start, run}, Status::kIncomplete};
    run += kFrameHeaderSize + length;
  }
}

void IncomingFrames::consume(std::size_t bytes) {
  assert(bytes <= size() && "consumed more than the buffer holds");
  begin_ += std::min(bytes, size());
  if (begin_ == end_) begin_ = end_ = 0;
}

void IncomingFrames::clear() {
  storage_.reset();
  capacity_ = begin_ = end_ = 0;
}

}  // namespace ostrel
