#include <sys/socket.h>

#include "peer_user.h"

namespace ostrel::setup {

std::optional<uid_t> peerUserId(int socket) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
  return credentials.uid;
}

}  // namespace ostrel::setup
