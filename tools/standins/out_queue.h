#ifndef OSTREL_TOOLS_STANDINS_OUT_QUEUE_H_
#define OSTREL_TOOLS_STANDINS_OUT_QUEUE_H_

// Bytes waiting to be written to a non-blocking descriptor. The tools never
// block on a write: a peer that is slow to read must not stop them from
// reading what that peer writes meanwhile (two sides each blocked writing to
// the other would hang for ever). Does not own the descriptor.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::standins {

class OutQueue {
 public:
  void append(std::span<const std::uint8_t> bytes);
  bool empty() const { return sent_ == bytes_.size(); }
  std::size_t size() const { return bytes_.size() - sent_; }

  // Writes as much as `fd` takes now. False on a write error other than
  // "would block"; the queue is then left as it was.
  bool flush(int fd);

  void clear();

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t sent_ = 0;
};

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_OUT_QUEUE_H_
