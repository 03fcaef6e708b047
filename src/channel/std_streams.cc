#include "channel/std_streams.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/would_block.h"

namespace ostrel {
namespace {

// Created on first use, thread-safely, and never destroyed: threads still
// writing while the process exits must not find it gone.
std::mutex& outputLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Waits until `fd` is ready for `events`, for a descriptor that was handed
// over in non-blocking mode (which the host leaves as it is). Hang-ups and
// errors count as ready: the retried call then reports them.
bool waitReady(int fd, short events) {
  pollfd watched{fd, events, 0};
  for (;;) {
    const int n = ::poll(&watched, 1, -1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// How many bytes of `bytes` went out: all of them, or fewer after a failure.
template <typename Wait>
std::size_t writeAllWaiting(int fd, std::span<const std::uint8_t> bytes, const Wait& waitWritable) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && wouldBlock() && waitWritable()) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  return written;
}

}  // namespace

bool readExactly(int fd, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    ssize_t n = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && wouldBlock() && waitReady(fd, POLLIN)) continue;
    if (n <= 0) return false;
    filled += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<Payload> readMessage(int fd, std::int64_t maxMessageLength) {
  std::uint8_t header[kFrameHeaderSize];
  if (!readExactly(fd, header)) return std::nullopt;
  std::uint32_t length = decodeFrameLength(header);
  if (static_cast<std::int64_t>(length) > maxMessageLength) return std::nullopt;
  Payload payload(length);  // allocated only once the length has passed the check
  if (!readExactly(fd, {payload.data(), payload.size()})) return std::nullopt;
  return payload;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  return writeAllWaiting(fd, bytes, [fd] { return waitReady(fd, POLLOUT); }) == bytes.size();
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes,
              const std::function<bool()>& waitWritable) {
  return writeAllWaiting(fd, bytes, waitWritable) == bytes.size();
}

std::size_t writeFrame(std::span<const std::uint8_t> frames, int fd) {
  std::lock_guard<std::mutex> guard(outputLock());
  return writeAllWaiting(fd, frames, [fd] { return waitReady(fd, POLLOUT); });
}

void writeMessage(std::span<const std::uint8_t> payload, int fd) {
  writeFrame(frameMessage(payload), fd);
}

}  // namespace ostrel
