#include "peers/descriptors.h"

#include <fcntl.h>
#include <unistd.h>

namespace ostrel::peers {

bool setNonBlocking(int fd, bool nonBlocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

void closeDescriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace ostrel::peers
