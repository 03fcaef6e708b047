#ifndef OSTREL_BENCH_FRAME_READER_H_
#define OSTREL_BENCH_FRAME_READER_H_

// Reads frames from a blocking descriptor with few, large reads, handing
// out each payload in place (valid until the next call), so the measuring
// side is never the bottleneck. Refuses a header over the 1 MiB limit.
// Does not own the descriptor.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ostrel::bench {

class FrameReader {
 public:
  explicit FrameReader(int fd);

  // The next payload, or nothing at end of stream, on a read error or on an
  // invalid header (see failed()).
  std::optional<std::span<const std::uint8_t>> next();

  // True when the stream held something that is not a frame: a header over
  // the limit, or an end inside a frame.
  bool failed() const { return failed_; }

 private:
  bool fill(std::size_t wanted);

  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool failed_ = false;
};

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_FRAME_READER_H_
