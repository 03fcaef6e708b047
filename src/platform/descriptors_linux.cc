// Linux: close-on-exec and non-blocking set atomically at creation. There is
// no SO_NOSIGPIPE; the host ignores SIGPIPE process-wide instead.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/descriptors.h"

namespace ostrel {

int openUnixStreamSocket() {
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

bool openPipe(int ends[2]) { return ::pipe2(ends, O_CLOEXEC) == 0; }

namespace {

std::optional<ucred> peerCredentials(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  return credentials;
}

}  // namespace

std::optional<pid_t> socketPeerProcessId(int fd) {
  const std::optional<ucred> credentials = peerCredentials(fd);
  if (!credentials) return std::nullopt;
  return credentials->pid;
}

}  // namespace ostrel
