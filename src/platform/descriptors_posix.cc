// Shared by every system: the flag set after the fact.
#include <fcntl.h>

#include "platform/descriptors.h"

namespace ostrel {

bool setCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

}  // namespace ostrel
