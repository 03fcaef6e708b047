// The floor: the least a host must do. For start-up, it connects to
// $OSTREL_SOCKET_PATH and writes the "connected" status frame in one write.
// Then it relays browser frames to the socket the way the host must, reading
// each header and payload exactly (no read-ahead) and writing each frame in
// one write, but without looking inside them: the best any host bound by
// exact reads could do. Application frames go the other way as a relay that
// reassembles them should: one read of up to 64 KiB, then every frame that
// read completed in one write. It ends when its input ends.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool readExactly(unsigned char* buffer, std::size_t count) {
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t n = ::read(0, buffer + filled, count - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    filled += static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  const char* path = std::getenv("OSTREL_SOCKET_PATH");
  if (path == nullptr) return 2;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected =
      fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  static const char kConnected[] = "\x23\0\0\0{\"type\":\"status\",\"app\":\"connected\"}";
  static const char kUnavailable[] = "\x25\0\0\0{\"type\":\"status\",\"app\":\"unavailable\"}";
  if (connected) {
    [[maybe_unused]] ssize_t n = ::write(1, kConnected, sizeof kConnected - 1);
  } else {
    [[maybe_unused]] ssize_t n = ::write(1, kUnavailable, sizeof kUnavailable - 1);
  }

  static unsigned char frame[4 + 1048576];
  static unsigned char incoming[4 + 1048576 + 65536];
  std::size_t held = 0;
  pollfd watched[2] = {{0, POLLIN, 0}, {connected ? fd : -1, POLLIN, 0}};
  for (;;) {
    while (::poll(watched, 2, -1) < 0) {
      if (errno != EINTR) return 1;
    }
    if (watched[1].revents != 0) {
      const ssize_t n = ::read(fd, incoming + held, 65536);
      if (n <= 0) {
        watched[1].fd = -1;  // the application has gone
      } else {
        held += static_cast<std::size_t>(n);
        std::size_t complete = 0;
        while (held - complete >= 4) {
          const unsigned char* header = incoming + complete;
          const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                                       static_cast<std::uint32_t>(header[3]) << 24;
          if (length > 1048576) return 1;
          if (held - complete < 4 + length) break;
          complete += 4 + length;
        }
        if (complete > 0) {
          writeAll(1, incoming, complete);
          std::memmove(incoming, incoming + complete, held - complete);
          held -= complete;
        }
      }
    }
    if (watched[0].revents != 0) {
      if (!readExactly(frame, 4)) break;
      const std::uint32_t length =
          frame[0] | frame[1] << 8 | frame[2] << 16 | static_cast<std::uint32_t>(frame[3]) << 24;
      if (length > 1048576 || !readExactly(frame + 4, length)) break;
      if (connected) writeAll(fd, frame, 4 + length);
    }
  }
  return 0;
}
