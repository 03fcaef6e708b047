#include "app_listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "descriptors.h"
#include "host/settings.h"

namespace ostrel::standins {
namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

bool fillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// mkdir -p for the folder that holds `path`; new folders are private.
bool makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool someoneListens(const sockaddr_un& address) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (probe < 0) return false;
  const bool listening =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return listening;
}

}  // namespace

std::optional<std::string> resolveSocketPath(const std::optional<std::string>& option,
                                             std::string& error) {
  if (option) return option;
  if (const char* fromEnvironment = std::getenv(kSocketPathVariable)) {
    if (*fromEnvironment == '\0') {
      error = std::string(kSocketPathVariable) + " is set but empty";
      return std::nullopt;
    }
    return std::string(fromEnvironment);
  }
  const std::optional<std::string> home = homeDirectory();
  if (!home) {
    error = "cannot find the home directory; give --socket PATH";
    return std::nullopt;
  }
  return defaultSocketPath(*home);
}

bool AppListener::open(const std::string& path, std::string& error) {
  sockaddr_un address;
  if (!fillAddress(path, address)) {
    error = "socket path is too long (" + std::to_string(path.size()) + " bytes, at most " +
            std::to_string(sizeof address.sun_path - 1) + "): " + path;
    return false;
  }
  if (!makeParents(path)) {
    error = failure("cannot create the folder for " + path);
    return false;
  }
  struct stat existing;
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = path + " exists and is not a socket; not touching it";
      return false;
    }
    if (someoneListens(address)) {
      error = "another program is already listening on " + path;
      return false;
    }
    ::unlink(path.c_str());  // stale socket left by a program that died
  }
  fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd_ < 0 || !setCloseOnExec(fd_) || !setNonBlocking(fd_)) {
    error = failure("cannot create a socket");
    close();
    return false;
  }
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = failure("cannot bind " + path);
    close();
    return false;
  }
  path_ = path;
  struct stat bound;
  if (::lstat(path.c_str(), &bound) == 0) {
    device_ = bound.st_dev;
    inode_ = bound.st_ino;
  }
  if (::listen(fd_, 16) != 0) {
    error = failure("cannot listen on " + path);
    close();
    return false;
  }
  return true;
}

int AppListener::accept() {
  for (;;) {
    const int connection = ::accept(fd_, nullptr, nullptr);
    if (connection < 0 && errno == EINTR) continue;
    if (connection < 0) return -1;
    if (setCloseOnExec(connection) && setNonBlocking(connection)) return connection;
    ::close(connection);
    return -1;
  }
}

void AppListener::close() {
  closeFd(fd_);
  if (path_.empty()) return;
  struct stat current;
  if (::lstat(path_.c_str(), &current) == 0 && current.st_dev == device_ &&
      current.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
  path_.clear();
}

}  // namespace ostrel::standins
