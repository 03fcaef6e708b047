// Shared by every system.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ostrel/app.h"
#include "platform/descriptors.h"

namespace ostrel {

bool setCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

int duplicateDescriptor(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

bool isPipeOrSocket(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

bool setNonBlocking(int fd, bool nonBlocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// The check applications make too, from libostrel-app.
std::optional<uid_t> socketPeerUserId(int fd) {
  uid_t user = 0;
  if (ostrel_app_peer_user(fd, &user) != 0) return std::nullopt;
  return user;
}

void closeDescriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The standard streams are left inheritable, as they came: a launched
// program gets its own /dev/null on them anyway.
bool fillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is taken, and every number below `fd` is open.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) {
      if (opened >= 0) ::close(opened);
      return false;
    }
  }
  return true;
}

}  // namespace ostrel
