#include "out_queue.h"

#include <unistd.h>

#include <cerrno>

namespace ostrel::standins {

void OutQueue::append(std::span<const std::uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

bool OutQueue::flush(int fd) {
  while (!empty()) {
    const ssize_t n = ::write(fd, bytes_.data() + sent_, bytes_.size() - sent_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    sent_ += static_cast<std::size_t>(n);
  }
  clear();
  return true;
}

void OutQueue::clear() {
  bytes_.clear();
  sent_ = 0;
}

}  // namespace ostrel::standins
