#ifndef OSTREL_PEERS_FRAME_READER_H_
#define OSTREL_PEERS_FRAME_READER_H_

// Reads frames from a blocking descriptor with few, large reads, handing
// out each payload in place (valid until the next call), so that a peer
// measuring another program is never the bottleneck. Unlike readFrame() it
// reads ahead, so it must be the only reader of its descriptor, and it has
// no deadline: whoever needs one ends the writer. Does not own the
// descriptor.

#include <cstdint>
#include <optional>
#include <span>

#include "tools/common/frame_splitter.h"

namespace ostrel::peers {

using common::FrameSplitter;

class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd) {}

  // The next payload, or nothing at end of stream, on a read error or on
  // bytes that are not a frame (see failed()).
  std::optional<std::span<const std::uint8_t>> next();

  // True when the stream held something that is not a frame: a header over
  // the limit, or an end inside a frame.
  bool failed() const { return frames_.invalidBytes() > 0; }

 private:
  int fd_;
  FrameSplitter frames_;
};

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_FRAME_READER_H_
