#include "descriptors.h"

#include <fcntl.h>
#include <unistd.h>

namespace ostrel::standins {

bool setCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool makePipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  if (setCloseOnExec(fds[0]) && setCloseOnExec(fds[1])) return true;
  ::close(fds[0]);
  ::close(fds[1]);
  return false;
}

void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace ostrel::standins
