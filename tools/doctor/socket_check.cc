#include "socket_check.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/settings.h"
#include "platform/descriptors.h"

namespace ostrel::doctor {
namespace {

std::string userName(uid_t user) {
  passwd entry{};
  passwd* found = nullptr;
  char scratch[4096];
  if (::getpwuid_r(user, &entry, scratch, sizeof scratch, &found) == 0 && found != nullptr) {
    return std::string(found->pw_name) + ", uid " + std::to_string(user);
  }
  return "uid " + std::to_string(user);
}

Problem relativeProblem(const std::string& path, const char* homeVariable) {
  std::string advice = "give an absolute path";
  if (path == "~" || path.starts_with("~/")) {
    std::optional<std::string> home = homeDirectoryFrom(homeVariable);
    if (home && home->starts_with('/')) advice += " such as " + *home + path.substr(1);
  }
  return std::string(kSocketPathVariable) + " is \"" + path +
         "\", a relative path: the host uses it exactly as given, relative to whatever folder "
         "the browser starts it in, and does not expand \"~\"; " +
         advice;
}

// Whose the socket is, or the deepest folder above it this user can see,
// when that is another user's: ", which belongs to another user (root,
// uid 0)"; empty when it is this user's.
std::string foreignOnTheWay(std::string path) {
  for (struct stat info{}; !path.empty() && path != "/"; path.resize(path.rfind('/'))) {
    if (::stat(path.c_str(), &info) != 0) continue;
    if (info.st_uid == ::geteuid()) return {};
    return ": " + path + " belongs to another user (" + userName(info.st_uid) + ")";
  }
  return {};
}

}  // namespace

SocketSetting hostSocketSetting() {
  return socketSettingFrom(std::getenv(kSocketPathVariable), std::getenv("HOME"));
}

SocketSetting socketSettingFrom(const char* socketVariable, const char* home) {
  SocketSetting setting;
  setting.path = socketPathFrom(socketVariable, home);
  if (socketVariable != nullptr) {
    setting.source = std::string("from ") + kSocketPathVariable;
    if (setting.path.empty()) {
      setting.unusable = std::string(kSocketPathVariable) +
                         " is set but empty, and the host never connects to an empty path; "
                         "unset it, or set it to the socket's absolute path";
      return setting;
    }
    if (!setting.path.starts_with('/')) {
      setting.unusable = relativeProblem(setting.path, home);
      return setting;
    }
  } else {
    setting.source = "the default below the home folder";
    if (setting.path.empty()) {
      setting.unusable =
          "no absolute home folder is known (from HOME or the password database), "
          "so the host has no socket path and never connects; set HOME, or " +
          std::string(kSocketPathVariable);
      return setting;
    }
  }
  if (!connectableSocketPath(setting.path)) {
    setting.unusable = "the socket path is " + std::to_string(setting.path.size()) +
                       " bytes long, and the host accepts at most " +
                       std::to_string(kMaxSocketPathBytes) +
                       " (what fits a socket address), so it never connects; have the "
                       "application listen at a shorter path and give it with " +
                       kSocketPathVariable;
  }
  return setting;
}

SocketCheck checkSocket(const std::string& path) {
  SocketCheck check;
  int fd = openUnixStreamSocket();
  if (fd < 0) {
    check.explanation = "cannot create a socket: " + std::string(std::strerror(errno));
    return check;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, std::min(path.size(), sizeof address.sun_path - 1));
  int failed = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  int error = errno;
  std::string otherUser;  // who serves the socket, when not this user
  if (failed == 0) {
    std::optional<uid_t> peer = socketPeerUserId(fd);
    if (peer && *peer != ::geteuid()) otherUser = userName(*peer);
  }
  ::close(fd);

  struct stat info {};
  bool present = ::stat(path.c_str(), &info) == 0;
  if (failed == 0) {
    if (!otherUser.empty()) {
      check.state = SocketState::kOtherUser;
      check.explanation = "it is served by a program of another user (" + otherUser +
                          "); the host connects only to an application of its own user";
    } else {
      check.state = SocketState::kAccepting;
    }
  } else if (error == ENOENT || error == ENOTDIR) {
    check.state = SocketState::kMissing;
    check.explanation =
        "nothing is there: the application is not running, or it listens somewhere else";
  } else if (error == EACCES || error == EPERM) {
    check.state = SocketState::kDenied;
    check.explanation =
        "permission denied: this user may not reach the socket" + foreignOnTheWay(path) +
        "; look at the permissions of the socket and of each folder above it (ls -ld)";
  } else if (present && !S_ISSOCK(info.st_mode)) {
    check.state = SocketState::kNotSocket;
    check.explanation = "the file there is not a socket";
  } else if (error == EAGAIN) {
    check.state = SocketState::kRefused;
    check.explanation =
        "the application is not accepting connections: its queue of waiting connections is full";
  } else if (error == ECONNREFUSED) {
    check.state = SocketState::kRefused;
    check.explanation =
        "a socket file is there but nobody accepts connections on it: the application quit "
        "without removing it (a stale socket), or it is not accepting";
#if defined(__APPLE__)
    // Here a listener whose queue of waiting connections is full refuses too.
    check.explanation +=
        "; or it is only busy, with its queue of waiting connections full: "
        "if it runs, run doctor again";
#endif
  } else {
    check.explanation = "connecting fails: " + std::string(std::strerror(error));
  }
  return check;
}

}  // namespace ostrel::doctor
