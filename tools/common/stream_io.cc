#include "tools/common/stream_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace ostrel::common {
namespace {

using Clock = std::chrono::steady_clock;

milliseconds left(Clock::time_point deadline) {
  const auto rest = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return rest.count() > 0 ? rest : milliseconds(0);
}

// read(2) with EINTR retried: the byte count, 0 at end of stream, -1 on error.
ssize_t readSome(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// True when `fd` has room (or has failed: the next write says how) before
// `deadline`.
bool waitForRoom(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left(deadline).count()));
    if (ready >= 0) return ready > 0;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));  // how often to ask, not synchronisation
  }
  return true;
}

bool waitReadable(int fd, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left(deadline).count()));
    if (ready >= 0) return ready > 0;
    if (errno != EINTR) return false;
  }
}

std::optional<Bytes> readBytes(int fd, std::size_t count, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Bytes bytes(count);
  std::size_t filled = 0;
  while (filled < count) {
    if (!waitReadable(fd, left(deadline))) return std::nullopt;
    const ssize_t n = readSome(fd, bytes.data() + filled, count - filled);
    if (n < 0 && errno == EAGAIN) continue;  // a non-blocking descriptor, woken early
    if (n <= 0) return std::nullopt;
    filled += static_cast<std::size_t>(n);
  }
  return bytes;
}

std::optional<Bytes> readFrame(int fd, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::optional<Bytes> header = readBytes(fd, kHeaderBytes, timeout);
  if (!header) return std::nullopt;
  const std::uint32_t length = lengthOf(std::span<const std::uint8_t, kHeaderBytes>(*header));
  // No peer of the host sends more; a header that says so (text from a
  // program that is not a host, say) is not a frame, and must not make us
  // allocate gigabytes.
  if (length > kLargestPayload) return std::nullopt;
  return readBytes(fd, length, left(deadline));
}

bool readsEndOfStream(int fd, milliseconds timeout) {
  if (!waitReadable(fd, timeout)) return false;
  char byte;
  return readSome(fd, &byte, 1) == 0;
}

bool readAvailable(int fd, std::string& into) {
  char buffer[4096];
  while (waitReadable(fd, milliseconds(0))) {
    const ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool writeBytes(int fd, std::span<const std::uint8_t> bytes, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const bool blocking = (flags & O_NONBLOCK) == 0;
  if (blocking && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    const bool full = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (!(n < 0 && errno == EINTR) && !(full && waitForRoom(fd, deadline))) {
      break;  // an error, or no room before the deadline
    }
  }
  if (blocking) (void)::fcntl(fd, F_SETFL, flags);  // as it was; the bytes are out either way
  return written == bytes.size();
}

}  // namespace ostrel::common
