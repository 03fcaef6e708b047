// Apple systems: no atomic close-on-exec flags, but SO_NOSIGPIPE exists.
#include <sys/socket.h>
#include <unistd.h>

#include "platform/descriptors.h"

namespace ostrel {

int openUnixStreamSocket() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (!setCloseOnExec(fd)) {
    ::close(fd);
    return -1;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);  // result ignored
  return fd;
}

bool openPipe(int ends[2]) {
  if (::pipe(ends) != 0) return false;
  if (setCloseOnExec(ends[0]) && setCloseOnExec(ends[1])) return true;
  ::close(ends[0]);
  ::close(ends[1]);
  return false;
}

}  // namespace ostrel
