#ifndef OSTREL_TOOLS_COMMON_FRAME_SPLITTER_H_
#define OSTREL_TOOLS_COMMON_FRAME_SPLITTER_H_

// Cuts a byte stream, delivered in chunks of any size, into frames
// (4-byte little-endian length, then the payload), and notices bytes that
// cannot be frames: a header announcing more than the largest accepted
// payload, after which the stream cannot be followed any more, and a frame
// left incomplete when the stream ends. Payloads are handed out in place,
// without a copy. It does no input or output and does not look inside
// payloads. An independent check: it reads headers with lengthOf(), not
// with the host's framing code.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tools/common/bytes.h"

namespace ostrel::common {

class FrameSplitter {
 public:
  explicit FrameSplitter(std::int64_t maxLength = kLargestPayload) : maxLength_(maxLength) {}

  // Room for at least `size` more bytes: read into it, then commit() as
  // many as were read.
  std::span<std::uint8_t> room(std::size_t size);
  void commit(std::size_t count);
  // room() and commit() for bytes already at hand.
  void feed(std::span<const std::uint8_t> bytes);

  // The next whole payload, or nothing until more bytes come. Valid until
  // the next room() or feed().
  std::optional<std::span<const std::uint8_t>> next();

  // True once a header announced too long a payload. All bytes from that
  // header on are counted as invalid and no further frame is returned.
  bool broken() const { return broken_; }
  // The length announced by the header that broke the stream.
  std::uint32_t brokenLength() const { return brokenLength_; }

  // Declares the end of the stream; bytes still waiting become invalid.
  void end() { ended_ = true; }

  // Bytes held for a frame that is not complete yet.
  std::size_t pendingBytes() const { return end_ - begin_; }

  // Bytes that are not part of a whole, valid frame: everything from a
  // too-long header on, plus, once the stream has ended, a partial frame.
  std::size_t invalidBytes() const { return invalid_ + (ended_ ? pendingBytes() : 0); }

 private:
  std::int64_t maxLength_;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;  // the first byte not handed out yet
  std::size_t end_ = 0;    // one past the last byte committed
  bool broken_ = false;
  bool ended_ = false;
  std::uint32_t brokenLength_ = 0;
  std::size_t invalid_ = 0;
};

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_FRAME_SPLITTER_H_
