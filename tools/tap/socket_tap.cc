#include "socket_tap.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app_presence.h"
#include "platform/descriptors.h"
#include "pump.h"

namespace ostrel::tap {
namespace {

constexpr int kWatchIntervalMs = 100;

// The pumps block on their descriptors; the listener alone is polled.
bool makeBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

int connectTo(const std::string& path) {
  std::optional<sockaddr_un> address = socketAddress(path);
  if (!address) return -1;
  int fd = openUnixStreamSocket();
  if (fd < 0) return -1;
  if (!makeBlocking(fd)) {
    ::close(fd);
    return -1;
  }
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    if (errno == EINTR) continue;
    ::close(fd);
    return -1;
  }
  return fd;
}

// A private folder for the tap's socket: $XDG_RUNTIME_DIR when it is set
// and absolute, /tmp otherwise.
std::optional<std::string> makePrivateFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp";
  std::string pattern = base + "/ostrel-tap-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;  // mode 0700
  return pattern;
}

// One joined connection: the host's side and the application's.
struct Joint {
  int host = -1;
  int app = -1;
  std::atomic<bool> hostEnded{false};
  TapLog* log = nullptr;
  ~Joint() {
    ::close(host);
    ::close(app);
    log->event("app connection closed");
  }
  void endBoth() const {
    ::shutdown(host, SHUT_RDWR);
    ::shutdown(app, SHUT_RDWR);
  }
};

}  // namespace

SocketTap::SocketTap(std::string appSocketPath, TapLog& log)
    : appSocketPath_(std::move(appSocketPath)), log_(log) {}

void SocketTap::stop() {
  if (watcher_.joinable()) {
    char stop = 's';
    while (::write(stopWrite_, &stop, 1) < 0 && errno == EINTR) {
    }
    watcher_.join();
  }
  {
    MutexLock held(mutex_);
    closeListener();
  }
  if (stopRead_ >= 0) ::close(stopRead_);
  if (stopWrite_ >= 0) ::close(stopWrite_);
  stopRead_ = stopWrite_ = -1;
  if (!folder_.empty()) ::rmdir(folder_.c_str());
  folder_.clear();
}

std::optional<std::string> SocketTap::start() {
  std::optional<std::string> folder = makePrivateFolder();
  if (!folder)
    return std::string("cannot make a private folder for the tap's socket: ") +
           std::strerror(errno);
  folder_ = *folder;
  hostSocketPath_ = folder_ + "/app.sock";
  int ends[2];
  if (!openPipe(ends)) {
    return std::string("cannot make a pipe: ") + std::strerror(errno);
  }
  stopRead_ = ends[0];
  stopWrite_ = ends[1];
  // Settled before the host starts, so its first attempt sees the truth.
  updateListener(appListening(appSocketPath_));
  watcher_ = std::thread([this] { watch(); });
  return std::nullopt;
}

void SocketTap::closeListener() {
  if (listener_ < 0) return;
  if (!withdrawn_) ::unlink(hostSocketPath_.c_str());
  ::close(listener_);
  listener_ = -1;
  withdrawn_ = false;
}

void SocketTap::withdrawSocket() {
  MutexLock held(mutex_);
  if (listener_ >= 0 && !withdrawn_) {
    ::unlink(hostSocketPath_.c_str());
    withdrawn_ = true;
  }
}

void SocketTap::updateListener(bool appThere) {
  MutexLock held(mutex_);
  if (withdrawn_ || (!appThere && listener_ >= 0)) closeListener();
  if (!appThere || listener_ >= 0) return;
  std::optional<sockaddr_un> address = socketAddress(hostSocketPath_);
  int fd = openUnixStreamSocket();
  if (!address || fd < 0) {
    if (fd >= 0) ::close(fd);
    return;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    ::unlink(hostSocketPath_.c_str());
    return;
  }
  listener_ = fd;
}

void SocketTap::watch() {
  while (true) {
    int listener;
    {
      MutexLock held(mutex_);
      listener = listener_;
    }
    pollfd fds[2] = {{.fd = stopRead_, .events = POLLIN, .revents = 0},
                     {.fd = listener, .events = POLLIN, .revents = 0}};
    int ready = ::poll(fds, 2, kWatchIntervalMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (ready > 0 && fds[1].revents != 0) {
      // No program is started after the host, so nothing can inherit the
      // descriptor before it is marked.
      int host = ::accept(listener, nullptr, nullptr);
      if (host >= 0 && setCloseOnExec(host) && makeBlocking(host)) {
        join(host);
      } else if (host >= 0) {
        ::close(host);
      }
    }
    updateListener(appListening(appSocketPath_));
  }
}

void SocketTap::join(int hostSide) {
  int app = connectTo(appSocketPath_);
  if (app < 0) {
    log_.event("the host connected, but the application refused the tap: " +
               std::string(std::strerror(errno)) + "; the host's connection is closed");
    withdrawSocket();
    ::close(hostSide);
    return;
  }
  log_.event("app connection opened");
  auto joint = std::make_shared<Joint>();
  joint->host = hostSide;
  joint->app = app;
  joint->log = &log_;
  std::thread([joint, this] {
    pump(joint->host, joint->app, Direction::kHostToApp, log_);
    joint->hostEnded = true;
    joint->endBoth();
  }).detach();
  std::thread([joint, this] {
    pump(joint->app, joint->host, Direction::kAppToHost, log_);
    // The application's end: the host must find the socket gone before
    // it hears of the end, as it would without the tap.
    if (!joint->hostEnded) withdrawSocket();
    joint->endBoth();
  }).detach();
}

}  // namespace ostrel::tap
