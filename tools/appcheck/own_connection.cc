#include "own_connection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/descriptors.h"

namespace ostrel::appcheck {
namespace {

constexpr std::size_t kKept = common::kLargestPayload + common::kHeaderBytes;

}  // namespace

int connectTo(const std::string& path, std::string& why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    why = "the path does not fit a socket address";
    errno = ENAMETOOLONG;
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

int listenAt(const std::string& path, std::string& why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  int fd = -1;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
  } else {
    path.copy(address.sun_path, path.size());
    fd = openUnixStreamSocket();
  }
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    why = "cannot listen at " + path + ": " + std::strerror(errno);
    closeDescriptor(fd);
  }
  return fd;
}

OwnConnection::OwnConnection(EventLoop& loop, const std::string& path) : loop_(loop) {
  fd_ = connectTo(path, connectError_);
  connectErrno_ = fd_ < 0 ? errno : 0;
  if (fd_ >= 0 && !setNonBlocking(fd_)) {
    connectError_ = std::string("cannot make the connection non-blocking: ") + std::strerror(errno);
    closeDescriptor(fd_);
  }
  if (fd_ >= 0) loop_.add(this);
}

OwnConnection::~OwnConnection() { close(); }

void OwnConnection::close() {
  if (fd_ < 0) return;
  loop_.remove(this);
  closeDescriptor(fd_);
}

void OwnConnection::send(std::span<const std::uint8_t> bytes) {
  queued_.insert(queued_.end(), bytes.begin(), bytes.end());
  frameEnds_.push_back(queued_.size());
}

void OwnConnection::closeBetweenFrames(std::chrono::milliseconds timeout) {
  const auto boundary = std::find_if(frameEnds_.begin(), frameEnds_.end(),
                                     [this](std::size_t end) { return end >= taken_; });
  if (boundary != frameEnds_.end() && *boundary > taken_ && !ended_) {
    const std::size_t end = *boundary;
    queued_.resize(end);
    loop_.runUntil([&] { return taken_ >= end || ended_; }, timeout);
  }
  close();
}

void OwnConnection::watch(std::vector<pollfd>& into) {
  const bool open = fd_ >= 0 && !ended_;
  const short events =
      static_cast<short>((open && reading_ ? POLLIN : 0) | (open && !allTaken() ? POLLOUT : 0));
  into.push_back({events != 0 ? fd_ : -1, events, 0});
}

void OwnConnection::serve(std::span<const pollfd> mine) {
  if (mine[0].revents == 0) return;
  if (!allTaken()) write();
  // A peer that has gone is noticed even while nothing is read.
  if (reading_ || (mine[0].revents & (POLLHUP | POLLERR)) != 0) read();
}

void OwnConnection::write() {
  while (!allTaken() && !ended_) {
    // The checker ignores SIGPIPE: a gone peer is a failed write.
    const ssize_t n = ::write(fd_, queued_.data() + taken_, queued_.size() - taken_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      end(std::string("a write failed: ") + std::strerror(errno));
      return;
    }
    taken_ += static_cast<std::size_t>(n);
  }
}

void OwnConnection::read() {
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n == 0) {
      end("the application closed the connection");
      return;
    }
    if (n < 0) {
      end(std::string("the connection was reset (") + std::strerror(errno) + ")");
      return;
    }
    const std::size_t room = kKept - std::min(kKept, received_.size());
    received_.insert(received_.end(), buffer, buffer + std::min(room, static_cast<std::size_t>(n)));
  }
}

void OwnConnection::end(const std::string& how) {
  if (ended_) return;
  ended_ = true;
  endedHow_ = how;
}

}  // namespace ostrel::appcheck
