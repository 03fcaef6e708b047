// The floor: the least a host must do. For start-up, it connects to
// $OSTREL_SOCKET_PATH and writes the "connected" status frame in one write.
// Then it relays browser frames to the socket the way the host must, reading
// each header and payload exactly (no read-ahead) and writing each frame in
// one write, but without looking inside them: the best any host bound by
// exact reads could do. It ends when its input ends.

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
  while (readExactly(frame, 4)) {
    const std::uint32_t length =
        frame[0] | frame[1] << 8 | frame[2] << 16 | std::uint32_t(frame[3]) << 24;
    if (length > 1048576 || !readExactly(frame + 4, length)) break;
    if (connected) writeAll(fd, frame, 4 + length);
  }
  return 0;
}
