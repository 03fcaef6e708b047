#ifndef OSTREL_TOOLS_TAP_SOCKET_TAP_H_
#define OSTREL_TOOLS_TAP_SOCKET_TAP_H_

// Stands between the host and the application: the host is given a socket
// of the tap's own (in a private folder) as its socket path, and every
// connection the host makes there is joined to a connection of the tap's to
// the application's real socket, both directions copied byte for byte and
// logged.
//
// So that the host's connection attempts succeed and fail exactly when they
// would without the tap, the tap finds out whether the application listens
// the way the host does: it connects to the application's path as the host
// would (without waiting on a full queue) and keeps the connection only
// when the server behind it is run by this user. That connection is held
// for the host's next attempt, and the tap's socket exists only while it is
// held and open: the host's attempt then gets it, and the application sees
// one connection per connection of the host's. The tap connects again
// (checking every 100 ms) once the host's connection has ended and a
// socket file lies at the path; not to a server of another user's until
// another socket file takes its place, and to one that refused or closed
// an unused connection not for 2 seconds, the host's own pace.
//
// What it cannot hide: the application sees the tap, not the host, as its
// peer process (the same user); it sees the host's connection made up to
// 2 seconds before the host makes its attempt (and one connection closed
// unused when the host ends first); and an application that appears is
// seen up to 100 ms late.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "tap_log.h"

namespace ostrel::tap {

struct Joint;

class SocketTap {
 public:
  // `log` must outlive the process's last connection: connections are
  // served by threads of their own until they end or the process exits.
  SocketTap(std::string appSocketPath, TapLog& log);
  ~SocketTap() { stop(); }
  SocketTap(const SocketTap&) = delete;
  SocketTap& operator=(const SocketTap&) = delete;

  // Makes the private folder, finds out whether the application listens,
  // and starts watching. Nothing and a reason when it cannot.
  std::optional<std::string> start() EXCLUDES(mutex_);

  // From now on the connections the host makes are taken (and logged):
  // called once the host's start is logged, which must come first.
  void acceptConnections() EXCLUDES(mutex_);

  // Brings the log up to this moment on the host's side of the socket:
  // takes the connections the host has made and waits, up to a second,
  // until what the host has written into them is logged (not while that
  // waits for the application to read). Called before a frame the host
  // wrote to the browser is logged, since the host wrote those bytes first.
  void catchUp() EXCLUDES(mutex_);

  // True when a message the host reads now finds no application: no
  // connection through the tap is open and no socket is offered, so the
  // host's attempt to connect fails and the message is dropped.
  bool appUnavailable() EXCLUDES(mutex_);

  // Waits, up to `limit`, until every connection the host made has ended
  // and its end is logged: called once the host has exited, so that the
  // log tells the effects of its exit before the exit itself.
  void awaitConnectionsEnded(std::chrono::milliseconds limit) EXCLUDES(mutex_);

  // Stops watching and removes the socket and the private folder. The
  // connections that are open stay open.
  void stop() EXCLUDES(mutex_);

  // The path to give the host as OSTREL_SOCKET_PATH.
  const std::string& hostSocketPath() const { return hostSocketPath_; }

 private:
  // A socket file, told apart from the one that may take its place.
  using SocketFile = std::pair<dev_t, ino_t>;

  void watch() EXCLUDES(mutex_);
  // Drops a held connection that has ended or whose socket file has gone,
  // and connects anew when the host would find the application now.
  void update() EXCLUDES(mutex_);
  // Connects to the application as the host would, and holds the
  // connection for the host's next attempt.
  void probe(const SocketFile& file) EXCLUDES(mutex_);
  bool spareAlive() const REQUIRES(mutex_);
  void dropSpare(bool rest) REQUIRES(mutex_);
  void offer() REQUIRES(mutex_);
  void closeListener() REQUIRES(mutex_);
  bool anyJointOpen() REQUIRES(mutex_);
  // Accepts what waits on the listener and joins each connection.
  void acceptWaiting() EXCLUDES(mutex_);
  void join(const std::shared_ptr<Joint>& joint) EXCLUDES(mutex_);
  // Called by each of a joint's two pumps as it ends: ends the other, and
  // the second logs the connection's end.
  void pumpEnded(Joint& joint) EXCLUDES(mutex_);
  // True while a joint's host side holds bytes not yet logged.
  bool behind() REQUIRES(mutex_);
  std::optional<SocketFile> appSocketFile() const;
  // Wakes whoever waits on progress_.
  void tell() EXCLUDES(mutex_);

  std::string appSocketPath_;
  TapLog& log_;
  std::string folder_;
  std::string hostSocketPath_;
  // False when the host never connects to the application's path: the tap
  // then offers no socket either.
  bool appPathUsable_ = true;

  Mutex mutex_;
  int listener_ GUARDED_BY(mutex_) = -1;
  bool accepting_ GUARDED_BY(mutex_) = false;
  std::vector<std::weak_ptr<Joint>> joints_ GUARDED_BY(mutex_);
  // Connections joined to the application whose end is not logged yet.
  int connections_ GUARDED_BY(mutex_) = 0;
  // The connection to the application held for the host's next attempt,
  // and the socket file it was made through.
  int spare_ GUARDED_BY(mutex_) = -1;
  SocketFile spareFile_ GUARDED_BY(mutex_){};
  // The application's socket whose server failed the user check: not
  // connected to again until another socket takes its place.
  std::optional<SocketFile> refused_ GUARDED_BY(mutex_);
  // A socket whose server refused a connection or closed one unused: not
  // connected to again before `restUntil_`.
  std::optional<SocketFile> resting_ GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point restUntil_ GUARDED_BY(mutex_);
  // Told when a joint has logged a chunk or ended.
  std::condition_variable_any progress_;

  int stopRead_ = -1;
  int stopWrite_ = -1;
  std::thread watcher_;
};

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_SOCKET_TAP_H_
