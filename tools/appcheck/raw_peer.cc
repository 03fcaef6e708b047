#include "raw_peer.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptors.h"
#include "tools/common/stream_io.h"

namespace ostrel::appcheck {
namespace {

// The child's verdict, as its exit status; its words go through a pipe.
constexpr int kStatusBase = 40;

// In the child: waits for the application's answer to the frame written.
OtherUserTry::Kind awaitVerdict(int fd, std::chrono::milliseconds timeout, std::string& detail) {
  if (!common::waitReadable(fd, timeout)) {
    detail = "the connection stayed open for " + std::to_string(timeout.count() / 1000) +
             " s with nothing answered";
    return OtherUserTry::kKeptOpen;
  }
  char buffer[256];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    detail = "the application answered it (" + std::to_string(n) + " bytes at first)";
    return OtherUserTry::kAnswered;
  }
  detail = n == 0 ? "the application closed the connection"
                  : std::string("the connection was reset (") + std::strerror(errno) + ")";
  return OtherUserTry::kRefused;
}

// The child's whole life: never returns.
[[noreturn]] void tryInChild(int report, const std::string& path, uid_t user, gid_t group,
                             std::string_view frame, std::chrono::milliseconds timeout) {
  std::string detail;
  OtherUserTry::Kind kind = OtherUserTry::kNotTried;
  std::string how;
  if (!becomePeer(user, group, how)) {
    detail = "cannot take user id " + std::to_string(user) + ": " + std::strerror(errno);
  } else if (const int fd = connectTo(path, detail); fd < 0) {
    kind = OtherUserTry::kUnreachable;
  } else {
    // Written whole or not: a refusing application may close at once.
    (void)common::writeBytes(fd, common::asBytes(frame));
    kind = awaitVerdict(fd, timeout, detail);
    ::close(fd);
  }
  if (!how.empty()) detail = how + ": " + detail;
  (void)common::writeBytes(report, common::asBytes(detail));
  ::_exit(kStatusBase + kind);
}

}  // namespace

int connectTo(const std::string& path, std::string& why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    why = "the path does not fit a socket address";
    return -1;
  }
  path.copy(address.sun_path, path.size());
  int fd = openUnixStreamSocket();
  if (fd < 0 || !setNonBlocking(fd, false)) {
    why = std::string("cannot make a socket: ") + std::strerror(errno);
    closeDescriptor(fd);
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    why = "cannot connect to " + path + ": " + std::strerror(error);
    closeDescriptor(fd);
    errno = error;
  }
  return fd;
}

bool connectWriteClose(const std::string& path, std::string_view bytes, std::string& why) {
  int fd = connectTo(path, why);
  if (fd < 0) return false;
  const bool written = common::writeBytes(fd, common::asBytes(bytes));
  if (!written) why = std::string("cannot write to ") + path + ": " + std::strerror(errno);
  closeDescriptor(fd);
  return written;
}

OtherUserTry tryAsOtherUser(EventLoop& loop, const std::string& path, uid_t user, gid_t group,
                            std::string_view frame, std::chrono::milliseconds timeout) {
  OtherUserTry result;
  int report[2];
  if (!openPipe(report)) {
    result.detail = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  // The checker runs no other thread, so the child may do anything.
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    tryInChild(report[1], path, user, group, frame, timeout);
  }
  ::close(report[1]);
  if (child < 0) {
    result.detail = std::string("cannot start a process: ") + std::strerror(errno);
    ::close(report[0]);
    return result;
  }
  // The application's output is read meanwhile, or it could block on it.
  std::string words;
  loop.runUntil([&] { return !common::readAvailable(report[0], words); },
                timeout + std::chrono::seconds(5));
  ::close(report[0]);
  int status = 0;
  ::kill(child, SIGKILL);  // ended already, unless it hung
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) - kStatusBase : -1;
  if (code < OtherUserTry::kRefused || code > OtherUserTry::kNotTried) {
    result.detail = "the process that tried did not report";
    return result;
  }
  result.kind = static_cast<OtherUserTry::Kind>(code);
  result.detail = words;
  return result;
}

}  // namespace ostrel::appcheck
