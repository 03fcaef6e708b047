#ifndef OSTREL_BENCH_PAYLOAD_PATTERN_H_
#define OSTREL_BENCH_PAYLOAD_PATTERN_H_

// The messages the benchmark sends: valid JSON objects with a "type", of an
// exact size, each carrying its sequence number and a filler that depends on
// it, so that a lost, repeated, reordered or altered frame is caught when
// the receiver checks every byte.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::bench {

class PayloadPattern {
 public:
  // `size` at least 64 bytes.
  explicit PayloadPattern(std::size_t size);

  std::size_t size() const { return size_; }

  // Writes the frame (header and payload) of message `sequence` into `out`,
  // which must hold size() + 4 bytes.
  void writeFrame(std::uint64_t sequence, std::uint8_t* out) const;

  // True when `payload` is exactly message `sequence`.
  bool matches(std::uint64_t sequence, std::span<const std::uint8_t> payload) const;

 private:
  static constexpr std::size_t kVariants = 8;
  static constexpr std::size_t kSequenceAt = 22;  // {"type":"bench","seq":NNNNNNNNNNNN,...
  static constexpr std::size_t kSequenceDigits = 12;

  std::size_t size_;
  std::vector<std::vector<std::uint8_t>> variants_;
};

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_PAYLOAD_PATTERN_H_
