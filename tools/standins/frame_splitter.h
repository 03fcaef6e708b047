#ifndef OSTREL_TOOLS_STANDINS_FRAME_SPLITTER_H_
#define OSTREL_TOOLS_STANDINS_FRAME_SPLITTER_H_

// Cuts a byte stream, delivered in chunks of any size, into frames
// (4-byte little-endian length, then the payload) and notices bytes that
// cannot be frames: a header announcing more than the largest accepted
// payload, after which the stream cannot be followed any more, and a frame
// left incomplete when the stream ends. It does not look inside payloads.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "channel/frame.h"

namespace ostrel::standins {

class FrameSplitter {
 public:
  explicit FrameSplitter(std::int64_t maxLength = ostrel::kMaxMessageLength)
      : maxLength_(maxLength) {}

  // Appends `bytes` and returns the payloads of every frame completed by them.
  std::vector<std::vector<std::uint8_t>> feed(std::span<const std::uint8_t> bytes);

  // True once a header announced too long a payload. All bytes from that
  // header on are counted as invalid and no further frame is returned.
  bool broken() const { return broken_; }
  // The length announced by the header that broke the stream.
  std::uint32_t brokenLength() const { return brokenLength_; }

  // Bytes that are not part of a whole, valid frame: everything from a
  // too-long header on, plus, once the stream has ended, a partial frame.
  std::size_t invalidBytes() const { return invalid_ + (ended_ ? pending_.size() : 0); }

  // Declares the end of the stream; bytes still waiting become invalid.
  void end() { ended_ = true; }

  // Bytes held for a frame that is not complete yet.
  std::size_t pendingBytes() const { return pending_.size(); }

 private:
  std::int64_t maxLength_;
  std::vector<std::uint8_t> pending_;
  bool broken_ = false;
  bool ended_ = false;
  std::uint32_t brokenLength_ = 0;
  std::size_t invalid_ = 0;
};

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_FRAME_SPLITTER_H_
