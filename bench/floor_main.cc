// The floor for start-up: the least a host must do before its first status
// frame. Connects to $OSTREL_SOCKET_PATH, writes the "connected" status frame
// in one write, then waits for its input to end, as the host does.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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
  char buffer[4096];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
