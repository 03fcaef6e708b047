// Apple systems: no atomic close-on-exec or non-blocking flags, but
// SO_NOSIGPIPE and LOCAL_PEERPID exist; stream sockets get a
// send buffer that holds a whole frame.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/descriptors.h"

namespace ostrel {
namespace {

// The largest frame (1 MiB of payload and its 4-byte length).
constexpr int kSendBufferBytes = 1048576 + 4;

}  // namespace

int openUnixStreamSocket() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (!setCloseOnExec(fd) || !setNonBlocking(fd)) {
    ::close(fd);
    return -1;
  }
  // Should this fail, the process-wide SIGPIPE disposition still turns a
  // write to a gone peer into an error, so the socket is kept.
  int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  // A Unix-domain stream socket here takes 8 KiB in flight, counted against
  // the sender: a 1 MiB frame would cost 128 writes and as many waits for
  // room. Room for the largest frame makes it one write. Should the system
  // refuse, the socket works as it is, only slower.
  int sendBuffer = kSendBufferBytes;
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  return fd;
}

bool openPipe(int ends[2]) {
  if (::pipe(ends) != 0) return false;
  if (setCloseOnExec(ends[0]) && setCloseOnExec(ends[1])) return true;
  ::close(ends[0]);
  ::close(ends[1]);
  return false;
}

std::optional<pid_t> socketPeerProcessId(int fd) {
  pid_t pid = 0;
  socklen_t size = sizeof pid;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &pid, &size) != 0) return std::nullopt;
  return pid;
}

}  // namespace ostrel
