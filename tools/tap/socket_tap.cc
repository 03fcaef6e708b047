#include "socket_tap.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "app_presence.h"
#include "host/settings.h"
#include "platform/descriptors.h"
#include "pump.h"
#include "tools/common/trusted_path.h"

namespace ostrel::tap {

// One joined connection: the host's side and the application's.
struct Joint {
  int host = -1;
  int app = -1;
  TapLog* log = nullptr;
  // Being joined to the application, or joined and neither side has ended.
  std::atomic<bool> open{true};
  // Not yet joined: `app` is being set.
  std::atomic<bool> joining{true};
  std::atomic<bool> hostEnded{false};
  // The host side's pump has taken bytes it has not logged yet.
  std::atomic<bool> reading{false};
  Joint(int hostSide, TapLog& tapLog) : host(hostSide), log(&tapLog) {}
  Joint(const Joint&) = delete;
  Joint& operator=(const Joint&) = delete;
  ~Joint() {
    ::close(host);
    if (app < 0) return;
    ::close(app);
    log->event("app connection closed");
  }
  void endBoth() const {
    ::shutdown(host, SHUT_RDWR);
    ::shutdown(app, SHUT_RDWR);
  }
};

namespace {

using namespace std::chrono_literals;

constexpr int kWatchIntervalMs = 100;
constexpr auto kCatchUpLimit = 100ms;
constexpr std::string_view kSocketName = "/app.sock";

// The pumps block on their descriptors; the listener alone is polled.
bool makeBlocking(int fd) { return setNonBlocking(fd, false); }

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// A connection to the application, made as the host makes its own: without
// waiting on a full queue, and kept only when the server is run by this
// user. -1 and the reason otherwise; `foreign` tells a server of another
// user.
int connectTo(const std::string& path, std::string& refusal, bool& foreign) {
  std::optional<sockaddr_un> address = socketAddress(path);
  int fd = address ? openUnixStreamSocket() : -1;
  if (fd < 0) {
    refusal = std::string("the tap cannot make a socket: ") + std::strerror(errno);
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    refusal = std::string("the application refused the tap: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  std::optional<uid_t> peer = socketPeerUserId(fd);
  if (peer != ::geteuid()) {
    foreign = true;
    refusal = "the application's socket is served by " +
              (peer ? common::userText(*peer) : std::string("a user the system does not name")) +
              ", not by this user; like the host, the tap does not talk to it";
    ::close(fd);
    return -1;
  }
  if (!makeBlocking(fd)) {
    refusal = std::string("the tap cannot use its connection: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

int pendingBytes(int fd) {
  int count = 0;
  return ::ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

// A private folder for the tap's socket: $XDG_RUNTIME_DIR when it is set
// and absolute and the socket's path fits there, /tmp otherwise. `note`
// says why not $XDG_RUNTIME_DIR.
std::optional<std::string> makePrivateFolder(std::string& note) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::vector<std::string> bases;
  if (runtime != nullptr && runtime[0] == '/') bases.emplace_back(runtime);
  bases.emplace_back("/tmp");
  for (const std::string& base : bases) {
    std::string pattern = base + "/ostrel-tap-XXXXXX";
    if (!connectableSocketPath(pattern + std::string(kSocketName))) {
      note = "XDG_RUNTIME_DIR (" + base + ") is too long a folder for a socket path of at most " +
             std::to_string(kMaxSocketPathBytes) + " bytes; the tap's socket is in /tmp instead";
      continue;
    }
    if (::mkdtemp(pattern.data()) != nullptr) return pattern;  // mode 0700
    if (base != "/tmp") {
      note = "cannot make a folder in XDG_RUNTIME_DIR (" + base + "): " + std::strerror(errno) +
             "; the tap's socket is in /tmp instead";
    }
  }
  return std::nullopt;
}

// The host side of a joint, as its pump goes.
class HostSideWatcher : public PumpWatcher {
 public:
  HostSideWatcher(Joint& joint, Mutex& mutex, std::condition_variable_any& progress)
      : joint_(joint), mutex_(mutex), progress_(progress) {}
  void reading() override { joint_.reading = true; }
  void logged() override {
    joint_.reading = false;
    tell();
  }
  // Wakes catchUp(); the lock makes sure it is not between its look and
  // its wait.
  void tell() {
    { MutexLock held(mutex_); }
    progress_.notify_all();
  }

 private:
  Joint& joint_;
  Mutex& mutex_;
  std::condition_variable_any& progress_;
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
  std::string note;
  std::optional<std::string> folder = makePrivateFolder(note);
  if (!note.empty()) log_.event(note);
  if (!folder) {
    return std::string("cannot make a private folder for the tap's socket: ") +
           std::strerror(errno);
  }
  folder_ = *folder;
  hostSocketPath_ = folder_ + std::string(kSocketName);
  if (!connectableSocketPath(appSocketPath_)) {
    appPathUsable_ = false;
    log_.event("the application's socket path \"" + appSocketPath_ + "\" is empty or longer than " +
               std::to_string(kMaxSocketPathBytes) +
               " bytes: the host never connects to it, and the tap offers it no socket");
  }
  int ends[2];
  if (!openPipe(ends)) {
    return std::string("cannot make a pipe: ") + std::strerror(errno);
  }
  stopRead_ = ends[0];
  stopWrite_ = ends[1];
  // Settled before the host starts, so its first attempt sees the truth.
  updateListener(appPathUsable_ && appListening(appSocketPath_));
  watcher_ = std::thread([this] { watch(); });
  return std::nullopt;
}

void SocketTap::acceptConnections() {
  {
    MutexLock held(mutex_);
    accepting_ = true;
  }
  // Wakes the watcher to poll the listener too.
  char wake = 'w';
  while (::write(stopWrite_, &wake, 1) < 0 && errno == EINTR) {
  }
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

std::optional<SocketTap::SocketFile> SocketTap::appSocketFile() const {
  struct stat info {};
  if (::stat(appSocketPath_.c_str(), &info) != 0) return std::nullopt;
  return SocketFile{info.st_dev, info.st_ino};
}

void SocketTap::updateListener(bool appThere) {
  std::optional<SocketFile> file = appThere ? appSocketFile() : std::nullopt;
  MutexLock held(mutex_);
  if (refused_ && file != refused_) refused_.reset();
  appThere = appThere && !refused_;
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
    int listener = -1;
    {
      MutexLock held(mutex_);
      if (accepting_) listener = listener_;
    }
    pollfd fds[2] = {{.fd = stopRead_, .events = POLLIN, .revents = 0},
                     {.fd = listener, .events = POLLIN, .revents = 0}};
    int ready = ::poll(fds, 2, kWatchIntervalMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) {
      char byte = 0;
      if (::read(stopRead_, &byte, 1) != 1 || byte == 's') return;
    }
    if (ready > 0 && fds[1].revents != 0) acceptWaiting();
    updateListener(appPathUsable_ && appListening(appSocketPath_));
  }
}

void SocketTap::acceptWaiting() {
  std::vector<std::shared_ptr<Joint>> accepted;
  {
    MutexLock held(mutex_);
    if (!accepting_ || listener_ < 0) return;
    for (;;) {
      int host = ::accept(listener_, nullptr, nullptr);
      if (host < 0 && errno == EINTR) continue;
      if (host < 0) break;
      // No program is started after the host, so nothing can inherit the
      // descriptor before it is marked.
      if (!setCloseOnExec(host) || !makeBlocking(host)) {
        ::close(host);
        continue;
      }
      // Known as a connection at once, so that catchUp() waits for it.
      accepted.push_back(std::make_shared<Joint>(host, log_));
      joints_.push_back(accepted.back());
    }
    std::erase_if(joints_, [](const std::weak_ptr<Joint>& joint) { return joint.expired(); });
  }
  for (const std::shared_ptr<Joint>& joint : accepted) join(joint);
}

void SocketTap::join(const std::shared_ptr<Joint>& joint) {
  std::string refusal;
  bool foreign = false;
  joint->app = connectTo(appSocketPath_, refusal, foreign);
  HostSideWatcher told(*joint, mutex_, progress_);
  if (joint->app < 0) {
    log_.event("the host connected, but " + refusal + "; the host's connection is closed");
    if (foreign) {
      // Not offered again while that server stays.
      std::optional<SocketFile> file = appSocketFile();
      MutexLock held(mutex_);
      refused_ = file;
    }
    withdrawSocket();
    joint->open = false;
    joint->joining = false;
    told.tell();
    return;
  }
  log_.event("app connection opened");
  joint->joining = false;
  told.tell();
  std::thread([joint, this] {
    HostSideWatcher watcher(*joint, mutex_, progress_);
    pump(joint->host, joint->app, Direction::kHostToApp, log_, -1, &watcher);
    joint->hostEnded = true;
    joint->open = false;
    joint->endBoth();
    watcher.tell();
  }).detach();
  std::thread([joint, this] {
    pump(joint->app, joint->host, Direction::kAppToHost, log_);
    // The application's end: the host must find the socket gone before
    // it hears of the end, as it would without the tap.
    joint->open = false;
    if (!joint->hostEnded) withdrawSocket();
    joint->endBoth();
  }).detach();
}

bool SocketTap::behind() {
  return std::ranges::any_of(joints_, [](const std::weak_ptr<Joint>& weak) {
    std::shared_ptr<Joint> joint = weak.lock();
    return joint && joint->open &&
           (joint->joining || joint->reading || pendingBytes(joint->host) > 0);
  });
}

void SocketTap::catchUp() {
  acceptWaiting();
  const auto deadline = std::chrono::steady_clock::now() + kCatchUpLimit;
  MutexLock held(mutex_);
  while (behind()) {
    if (progress_.wait_until(mutex_, deadline) == std::cv_status::timeout) return;
  }
}

bool SocketTap::appUnavailable() {
  MutexLock held(mutex_);
  if (listener_ >= 0 && !withdrawn_) return false;
  return std::ranges::none_of(joints_, [](const std::weak_ptr<Joint>& weak) {
    std::shared_ptr<Joint> joint = weak.lock();
    return joint && joint->open;
  });
}

}  // namespace ostrel::tap
