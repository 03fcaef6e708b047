#include "peers/fake_app.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptors.h"

namespace ostrel::peers {
namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// mkdir -p for the folder that holds `path`; new folders are private.
bool makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool someoneListens(const sockaddr_un& address) {
  const int probe = openUnixStreamSocket();
  if (probe < 0) return false;
  const bool listening =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return listening;
}

}  // namespace

AppConnection& AppConnection::operator=(AppConnection&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

std::optional<Bytes> AppConnection::readFrame(milliseconds timeout) const {
  return common::readFrame(fd_, timeout);
}

bool AppConnection::send(std::span<const std::uint8_t> bytes) const {
  return fd_ >= 0 && common::writeBytes(fd_, bytes);
}

int AppConnection::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void AppConnection::close() { closeDescriptor(fd_); }

std::optional<pid_t> AppConnection::peerProcess() const { return socketPeerProcessId(fd_); }

FakeApp::FakeApp(std::string path) : path_(std::move(path)) {
  if (!listen()) closeDescriptor(fd_);
}

bool FakeApp::listen() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    error_ = "socket path is too long (" + std::to_string(path_.size()) + " bytes, at most " +
             std::to_string(sizeof address.sun_path - 1) + "): " + path_;
    return false;
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  if (!makeParents(path_)) {
    error_ = failure("cannot create the folder for " + path_);
    return false;
  }
  struct stat existing {};
  if (::lstat(path_.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error_ = path_ + " exists and is not a socket; not touching it";
      return false;
    }
    if (someoneListens(address)) {
      error_ = "another program is already listening on " + path_;
      return false;
    }
    ::unlink(path_.c_str());  // left by a program that died
  }
  fd_ = openUnixStreamSocket();
  if (fd_ < 0 || !setNonBlocking(fd_)) {
    error_ = failure("cannot create a socket");
    return false;
  }
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error_ = failure("cannot bind " + path_);
    return false;
  }
  struct stat bound {};
  if (::lstat(path_.c_str(), &bound) == 0) {
    device_ = bound.st_dev;
    inode_ = bound.st_ino;
  }
  if (::listen(fd_, 128) != 0) {
    error_ = failure("cannot listen on " + path_);
    stop();
    return false;
  }
  return true;
}

std::optional<AppConnection> FakeApp::accept(milliseconds timeout) const {
  if (!hasPendingConnection(timeout)) return std::nullopt;
  int fd;
  do {
    fd = ::accept(fd_, nullptr, nullptr);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;  // gone again before it was taken
  // Accepted sockets inherit nothing from the listener on Linux and
  // everything on BSD systems: set both flags explicitly.
  if (!setCloseOnExec(fd) || !setNonBlocking(fd, false)) {
    ::close(fd);
    return std::nullopt;
  }
  return AppConnection(fd);
}

bool FakeApp::hasPendingConnection(milliseconds timeout) const {
  return fd_ >= 0 && common::waitReadable(fd_, timeout);
}

void FakeApp::stop() {
  if (fd_ < 0) return;
  closeDescriptor(fd_);
  struct stat current {};
  if (device_ != 0 || inode_ != 0) {
    if (::lstat(path_.c_str(), &current) == 0 && current.st_dev == device_ &&
        current.st_ino == inode_) {
      ::unlink(path_.c_str());
    }
  }
  device_ = 0;
  inode_ = 0;
}

}  // namespace ostrel::peers
