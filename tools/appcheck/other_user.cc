#include "other_user.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "own_connection.h"
#include "platform/descriptors.h"
#include "socket_files.h"
#include "tools/common/stream_io.h"
#include "tools/common/trusted_path.h"

namespace ostrel::appcheck {
namespace {

// The child's verdict, as its exit status; its words go through a pipe.
constexpr int kStatusBase = 40;

std::string secondsText(std::chrono::milliseconds time) {
  return std::to_string(time.count() / 1000) + " s";
}

// In the child: waits for the application's answer to what was written.
OtherUserTry::Kind awaitVerdict(int fd, std::chrono::milliseconds timeout, std::string& detail) {
  if (!common::waitReadable(fd, timeout)) {
    detail = "the application kept its connection open for " + secondsText(timeout) +
             " with nothing answered";
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
  detail = n == 0 ? "the application closed the connection, unanswered"
                  : std::string("the application reset the connection, unanswered (") +
                        std::strerror(errno) + ")";
  return OtherUserTry::kRefused;
}

// The child's whole life: never returns.
[[noreturn]] void tryInChild(int report, const std::string& path, uid_t user, gid_t group,
                             std::string_view bytes, std::chrono::milliseconds timeout) {
  std::string detail;
  OtherUserTry::Kind kind = OtherUserTry::kNotTried;
  if (!becomeOtherUser(user, group)) {
    detail = "cannot take user id " + std::to_string(user) + ": " + std::strerror(errno);
  } else if (const int fd = connectTo(path, detail); fd < 0) {
    kind =
        errno == EACCES || errno == EPERM ? OtherUserTry::kKeptOut : OtherUserTry::kNothingListens;
  } else {
    // Written whole or not: a refusing application may close at once.
    (void)common::writeBytes(fd, common::asBytes(bytes), timeout);
    kind = awaitVerdict(fd, timeout, detail);
    ::close(fd);
  }
  (void)common::writeBytes(report, common::asBytes(detail));
  ::_exit(kStatusBase + kind);
}

bool mayUse(const struct stat& status, uid_t user, gid_t group, mode_t owner, mode_t members,
            mode_t others) {
  if (status.st_uid == user) return (status.st_mode & owner) != 0;
  if (status.st_gid == group) return (status.st_mode & members) != 0;
  return (status.st_mode & others) != 0;
}

}  // namespace

bool becomeOtherUser(uid_t user, gid_t group) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0) return false;
  // As root, setgid and setuid change the real, effective and saved ids
  // alike; that none is left, and root cannot be taken back, is checked.
  if (::getuid() != user || ::geteuid() != user || ::getgid() != group || ::getegid() != group ||
      (user != 0 && ::setuid(0) == 0)) {
    errno = EPERM;
    return false;
  }
  return true;
}

std::string whatKeepsOut(const std::string& path, uid_t user, gid_t group) {
  const std::string absolute = common::absolutePath(path);
  for (std::size_t slash = 0; slash != std::string::npos; slash = absolute.find('/', slash + 1)) {
    const std::string folder = slash == 0 ? "/" : absolute.substr(0, slash);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) continue;
    if (!mayUse(status, user, group, S_IXUSR, S_IXGRP, S_IXOTH)) {
      return "the folder " + folder + " (" + modeText(status.st_mode) + " of user id " +
             std::to_string(status.st_uid) + ")";
    }
  }
  struct stat socket {};
  if (::stat(absolute.c_str(), &socket) == 0 &&
      !mayUse(socket, user, group, S_IWUSR, S_IWGRP, S_IWOTH)) {
    return "the socket file (" + modeText(socket.st_mode) + " of user id " +
           std::to_string(socket.st_uid) + ")";
  }
  return {};
}

OtherUserTry tryAsOtherUser(EventLoop& loop, const std::string& path, uid_t user, gid_t group,
                            std::string_view bytes, std::chrono::milliseconds timeout) {
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
    tryInChild(report[1], path, user, group, bytes, timeout);
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
                timeout + timeout + std::chrono::seconds(1));
  ::close(report[0]);
  int status = 0;
  ::kill(child, SIGKILL);  // ended already, unless it hung
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) - kStatusBase : -1;
  if (code < OtherUserTry::kKeptOut || code > OtherUserTry::kNotTried) {
    result.detail = "the process that tried did not report within " + secondsText(timeout);
    return result;
  }
  result.kind = static_cast<OtherUserTry::Kind>(code);
  result.detail = words;
  return result;
}

}  // namespace ostrel::appcheck
