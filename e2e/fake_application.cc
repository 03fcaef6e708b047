#include "fake_application.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channel/frame.h"
#include "channel/std_streams.h"

namespace ostrel::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// How often accept() asks whether to give up.
constexpr std::chrono::milliseconds kGiveUpCheck{200};

void closeDescriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

FakeApplication::FakeApplication(std::string socketPath) : socketPath_(std::move(socketPath)) {}

FakeApplication::~FakeApplication() { goAway(); }

bool FakeApplication::listen() {
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (listener_ < 0 || socketPath_.size() >= sizeof address.sun_path) return false;
  socketPath_.copy(address.sun_path, sizeof address.sun_path - 1);
  return ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
         ::listen(listener_, 4) == 0;
}

bool FakeApplication::waitReadable(int fd, Clock::time_point until) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

bool FakeApplication::accept(std::chrono::milliseconds deadline,
                             const std::function<bool()>& giveUp) {
  Clock::time_point until = Clock::now() + deadline;
  while (Clock::now() < until) {
    if (giveUp && giveUp()) return false;
    if (!waitReadable(listener_, std::min(until, Clock::now() + kGiveUpCheck))) continue;
    closeDescriptor(connection_);
    buffered_.clear();
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
  }
  return false;
}

std::optional<pid_t> FakeApplication::peerProcess() const {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(connection_, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    return std::nullopt;
  }
  return credentials.pid;
}

std::optional<std::string> FakeApplication::receive(std::chrono::milliseconds deadline) {
  Clock::time_point until = Clock::now() + deadline;
  for (;;) {
    if (buffered_.size() >= kFrameHeaderSize) {
      std::uint8_t header[kFrameHeaderSize];
      std::memcpy(header, buffered_.data(), kFrameHeaderSize);
      std::size_t length = decodeFrameLength(header);
      if (buffered_.size() - kFrameHeaderSize >= length) {
        std::string payload = buffered_.substr(kFrameHeaderSize, length);
        buffered_.erase(0, kFrameHeaderSize + length);
        return payload;
      }
    }
    if (connection_ < 0 || !waitReadable(connection_, until)) return std::nullopt;
    char chunk[65536];
    ssize_t n = ::read(connection_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool FakeApplication::send(const std::string& payload) const {
  std::vector<std::uint8_t> frame =
      frameMessage({reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()});
  return connection_ >= 0 && writeAll(connection_, frame);
}

bool FakeApplication::awaitClose(std::chrono::milliseconds deadline) {
  if (!buffered_.empty() || connection_ < 0) return false;
  if (!waitReadable(connection_, Clock::now() + deadline)) return false;
  char byte;
  ssize_t n;
  while ((n = ::read(connection_, &byte, 1)) < 0 && errno == EINTR) {
  }
  return n == 0;
}

void FakeApplication::goAway() {
  closeDescriptor(connection_);
  if (listener_ >= 0) ::unlink(socketPath_.c_str());
  closeDescriptor(listener_);
  buffered_.clear();
}

}  // namespace ostrel::e2e
