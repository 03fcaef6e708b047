// Linux: the peer's credentials, as recorded when it connected.
#include <sys/socket.h>

#include "peers/fake_app.h"

namespace ostrel::peers {

std::optional<pid_t> AppConnection::peerProcess() const {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
  return credentials.pid;
}

}  // namespace ostrel::peers
