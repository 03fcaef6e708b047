// Apple systems: the peer's process id, as recorded when it connected.
#include <sys/socket.h>
#include <sys/un.h>

#include "peers/fake_app.h"

namespace ostrel::peers {

std::optional<pid_t> AppConnection::peerProcess() const {
  pid_t pid = 0;
  socklen_t size = sizeof pid;
  if (::getsockopt(fd_, SOL_LOCAL, LOCAL_PEERPID, &pid, &size) != 0) return std::nullopt;
  return pid;
}

}  // namespace ostrel::peers
