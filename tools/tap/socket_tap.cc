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
#include <functional>

#include "host/settings.h"
#include "platform/descriptors.h"
#include "pump.h"
#include "tools/common/trusted_path.h"

namespace ostrel::tap {

// One joined connection: the host's side and the application's.
struct Joint {
  int host = -1;
  int app = -1;
  // Being joined to the application, or joined and neither side has ended.
  std::atomic<bool> open{true};
  // Not yet joined: `app` is being set.
  std::atomic<bool> joining{true};
  // The host side's pump has taken bytes it has not logged yet ...
  std::atomic<bool> reading{false};
  // ... or is passing logged bytes on, which waits for the application.
  std::atomic<bool> passing{false};
  // The pumps still copying; the last one to end logs the connection's end.
  std::atomic<int> pumps{2};
  explicit Joint(int hostSide) : host(hostSide) {}
  Joint(const Joint&) = delete;
  Joint& operator=(const Joint&) = delete;
  ~Joint() {
    ::close(host);
    if (app >= 0) ::close(app);
  }
  void endBoth() const {
    ::shutdown(host, SHUT_RDWR);
    ::shutdown(app, SHUT_RDWR);
  }
};

namespace {

using namespace std::chrono_literals;

constexpr int kWatchIntervalMs = 100;
constexpr auto kCatchUpLimit = 1s;
// How long a server that refused the tap, or closed a connection nobody
// used, is left alone: the host's own interval between attempts.
constexpr auto kRest = 2s;
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

// One attempt to reach the application.
struct Attempt {
  enum Outcome {
    kConnected,  // `fd` is the connection
    kAbsent,     // nothing listens there
    kRefused,    // a server refused (a full queue, or a stale socket)
    kForeign,    // a server of another user
    kFailed,     // the tap could not try
  };
  Outcome outcome = kFailed;
  int fd = -1;
  std::string why;  // for kForeign and kFailed
};

// A connection to the application, made as the host makes its own: without
// waiting on a full queue, and kept only when the server is run by this
// user.
Attempt connectTo(const std::string& path) {
  std::optional<sockaddr_un> address = socketAddress(path);
  int fd = address ? openUnixStreamSocket() : -1;
  if (fd < 0) {
    return {.outcome = Attempt::kFailed,
            .why = std::string("the tap cannot make a socket: ") + std::strerror(errno)};
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    const int error = errno;
    ::close(fd);
    const bool refused = error == ECONNREFUSED || error == EAGAIN || error == EWOULDBLOCK;
    return {.outcome = refused ? Attempt::kRefused : Attempt::kAbsent,
            .why = std::string("the application refused the tap: ") + std::strerror(error)};
  }
  std::optional<uid_t> peer = socketPeerUserId(fd);
  if (peer != ::geteuid()) {
    ::close(fd);
    return {
        .outcome = Attempt::kForeign,
        .why = "the application's socket is served by " +
               (peer ? common::userText(*peer) : std::string("a user the system does not name")) +
               ", not by this user; like the host, the tap does not talk to it"};
  }
  if (!makeBlocking(fd)) {
    const int error = errno;
    ::close(fd);
    return {.outcome = Attempt::kFailed,
            .why = std::string("the tap cannot use its connection: ") + std::strerror(error)};
  }
  return {.outcome = Attempt::kConnected, .fd = fd, .why = {}};
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
  HostSideWatcher(Joint& joint, std::function<void()> tell)
      : joint_(joint), tell_(std::move(tell)) {}
  void reading() override { joint_.reading = true; }
  void logged() override {
    joint_.passing = true;
    joint_.reading = false;
    tell_();
  }
  void passed() override { joint_.passing = false; }

 private:
  Joint& joint_;
  std::function<void()> tell_;
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
    dropSpare(false);
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
  update();
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

void SocketTap::tell() {
  // The lock makes sure a waiter is not between its look and its wait.
  { MutexLock held(mutex_); }
  progress_.notify_all();
}

void SocketTap::closeListener() {
  if (listener_ < 0) return;
  ::unlink(hostSocketPath_.c_str());
  ::close(listener_);
  listener_ = -1;
}

void SocketTap::offer() {
  if (listener_ >= 0) return;
  std::optional<sockaddr_un> address = socketAddress(hostSocketPath_);
  int fd = openUnixStreamSocket();
  if (!address || fd < 0) {
    if (fd >= 0) ::close(fd);
    dropSpare(false);
    return;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    ::unlink(hostSocketPath_.c_str());
    dropSpare(false);
    return;
  }
  listener_ = fd;
}

bool SocketTap::spareAlive() const {
  char byte = 0;
  ssize_t got = ::recv(spare_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

void SocketTap::dropSpare(bool rest) {
  closeListener();
  if (spare_ < 0) return;
  ::close(spare_);
  spare_ = -1;
  if (rest) {
    resting_ = spareFile_;
    restUntil_ = std::chrono::steady_clock::now() + kRest;
  }
}

bool SocketTap::anyJointOpen() {
  return std::ranges::any_of(joints_, [](const std::weak_ptr<Joint>& weak) {
    std::shared_ptr<Joint> joint = weak.lock();
    return joint && joint->open;
  });
}

std::optional<SocketTap::SocketFile> SocketTap::appSocketFile() const {
  struct stat info {};
  if (::stat(appSocketPath_.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
  return SocketFile{info.st_dev, info.st_ino};
}

void SocketTap::update() {
  std::optional<SocketFile> file = appPathUsable_ ? appSocketFile() : std::nullopt;
  {
    MutexLock held(mutex_);
    if (spare_ >= 0 && (file != spareFile_ || !spareAlive())) {
      // Closed unused by a server that is still there: left alone a while.
      dropSpare(file == spareFile_);
    }
    if (refused_ && file != refused_) refused_.reset();
    if (resting_ && (file != resting_ || std::chrono::steady_clock::now() >= restUntil_)) {
      resting_.reset();
    }
    if (!file || spare_ >= 0 || refused_ || resting_ || anyJointOpen()) return;
  }
  probe(*file);
}

void SocketTap::probe(const SocketFile& file) {
  Attempt attempt = connectTo(appSocketPath_);
  MutexLock held(mutex_);
  switch (attempt.outcome) {
    case Attempt::kConnected:
      if (spare_ >= 0 || anyJointOpen()) {
        ::close(attempt.fd);  // the host connected meanwhile
        return;
      }
      spare_ = attempt.fd;
      spareFile_ = file;
      offer();
      return;
    case Attempt::kForeign:
      refused_ = file;
      log_.event(attempt.why);
      return;
    case Attempt::kRefused:
      resting_ = file;
      restUntil_ = std::chrono::steady_clock::now() + kRest;
      return;
    case Attempt::kAbsent:
    case Attempt::kFailed:
      return;
  }
}

void SocketTap::watch() {
  while (true) {
    int listener = -1;
    int spare = -1;
    {
      MutexLock held(mutex_);
      if (accepting_) listener = listener_;
      spare = spare_;
    }
    // The held connection is watched for its end only: bytes the
    // application sends on it already are the host's, left where they are.
    pollfd fds[3] = {{.fd = stopRead_, .events = POLLIN, .revents = 0},
                     {.fd = listener, .events = POLLIN, .revents = 0},
                     {.fd = spare, .events = 0, .revents = 0}};
    int ready = ::poll(fds, 3, kWatchIntervalMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) {
      char byte = 0;
      if (::read(stopRead_, &byte, 1) != 1 || byte == 's') return;
    }
    if (ready > 0 && fds[1].revents != 0) acceptWaiting();
    update();
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
      accepted.push_back(std::make_shared<Joint>(host));
      joints_.push_back(accepted.back());
    }
    std::erase_if(joints_, [](const std::weak_ptr<Joint>& joint) { return joint.expired(); });
  }
  for (const std::shared_ptr<Joint>& joint : accepted) join(joint);
}

void SocketTap::join(const std::shared_ptr<Joint>& joint) {
  {
    // The connection held for this attempt; from now on the host's next
    // attempt fails until the application is found again.
    MutexLock held(mutex_);
    joint->app = spare_;
    spare_ = -1;
    closeListener();
  }
  if (joint->app < 0) {
    // It ended just now: one more try, as the host's attempt would be.
    Attempt attempt = connectTo(appSocketPath_);
    joint->app = attempt.fd;
    if (attempt.outcome == Attempt::kForeign) {
      std::optional<SocketFile> file = appSocketFile();
      MutexLock held(mutex_);
      refused_ = file;
    }
    if (joint->app < 0) {
      log_.event("the host connected, but " + attempt.why + "; the host's connection is closed");
      joint->open = false;
      joint->joining = false;
      tell();
      return;
    }
  }
  log_.event("app connection opened");
  {
    MutexLock held(mutex_);
    ++connections_;
  }
  joint->joining = false;
  tell();
  std::thread([connection = joint, this] {
    {
      HostSideWatcher watcher(*connection, [this] { tell(); });
      pump(connection->host, connection->app, Direction::kHostToApp, log_, -1, &watcher);
    }
    pumpEnded(*connection);
  }).detach();
  std::thread([connection = joint, this] {
    pump(connection->app, connection->host, Direction::kAppToHost, log_);
    pumpEnded(*connection);
  }).detach();
}

void SocketTap::pumpEnded(Joint& joint) {
  joint.open = false;
  joint.endBoth();
  if (--joint.pumps > 0) return;
  log_.event("app connection closed");
  {
    MutexLock held(mutex_);
    --connections_;
  }
  progress_.notify_all();
}

bool SocketTap::behind() {
  return std::ranges::any_of(joints_, [](const std::weak_ptr<Joint>& weak) {
    std::shared_ptr<Joint> joint = weak.lock();
    return joint && joint->open &&
           (joint->joining || joint->reading || (!joint->passing && pendingBytes(joint->host) > 0));
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

void SocketTap::awaitConnectionsEnded(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock held(mutex_);
  while (connections_ > 0) {
    if (progress_.wait_until(mutex_, deadline) == std::cv_status::timeout) return;
  }
}

bool SocketTap::appUnavailable() {
  MutexLock held(mutex_);
  if (spare_ >= 0 && listener_ >= 0 && spareAlive()) return false;
  return !anyJointOpen();
}

}  // namespace ostrel::tap
