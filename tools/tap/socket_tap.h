#ifndef OSTREL_TOOLS_TAP_SOCKET_TAP_H_
#define OSTREL_TOOLS_TAP_SOCKET_TAP_H_

// Stands between the host and the application: the host is given a socket
// of the tap's own (in a private folder) as its socket path, and every
// connection the host makes there is joined to a connection of the tap's to
// the application's real socket, both directions copied byte for byte and
// logged.
//
// So that the host's connection attempts succeed and fail exactly when they
// would without the tap, the tap's socket exists only while the
// application listens (checked every 100 ms without connecting to it) on a
// socket of this user's, at a path the host would connect to, and goes away
// the moment the application ends a connection. The tap makes the host's
// own check of the application: it talks only to a server run by its own
// user, and closes the host's connection otherwise. What it cannot hide:
// the application sees the tap, not the host, as its peer process (the same
// user), and an application that appears is seen up to 100 ms late.

#include <sys/types.h>

#include <atomic>
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

  // Makes the private folder and starts watching. Nothing and a reason when
  // it cannot.
  std::optional<std::string> start() EXCLUDES(mutex_);

  // From now on the connections the host makes are taken (and logged):
  // called once the host's start is logged, which must come first.
  void acceptConnections() EXCLUDES(mutex_);

  // Brings the log up to this moment on the host's side of the socket:
  // takes the connections the host has made and waits, up to 100 ms, until
  // what the host has written into them is logged. Called before a frame
  // the host wrote to the browser is logged, since the host wrote those
  // bytes first.
  void catchUp() EXCLUDES(mutex_);

  // True when a message the host reads now finds no application: no
  // connection through the tap is open and no socket is offered, so the
  // host's attempt to connect fails and the message is dropped.
  bool appUnavailable() EXCLUDES(mutex_);

  // Stops watching and removes the socket and the private folder. The
  // connections that are open stay open.
  void stop() EXCLUDES(mutex_);

  // The path to give the host as OSTREL_SOCKET_PATH.
  const std::string& hostSocketPath() const { return hostSocketPath_; }

 private:
  void watch() EXCLUDES(mutex_);
  void updateListener(bool appThere) EXCLUDES(mutex_);
  void closeListener() REQUIRES(mutex_);
  // Called when the application ended a connection: from now on the host's
  // attempts fail, until the watcher sees the application listen again.
  void withdrawSocket() EXCLUDES(mutex_);
  // Accepts what waits on the listener and joins each connection.
  void acceptWaiting() EXCLUDES(mutex_);
  void join(const std::shared_ptr<Joint>& joint) EXCLUDES(mutex_);
  // True while a joint's host side holds bytes not yet logged.
  bool behind() REQUIRES(mutex_);

  // A socket file, told apart from the one that may take its place.
  using SocketFile = std::pair<dev_t, ino_t>;
  std::optional<SocketFile> appSocketFile() const;

  std::string appSocketPath_;
  TapLog& log_;
  std::string folder_;
  std::string hostSocketPath_;
  // False when the host never connects to the application's path: the tap
  // then offers no socket either.
  bool appPathUsable_ = true;

  Mutex mutex_;
  int listener_ GUARDED_BY(mutex_) = -1;
  // The socket file is gone but the watcher has not closed it yet.
  bool withdrawn_ GUARDED_BY(mutex_) = false;
  bool accepting_ GUARDED_BY(mutex_) = false;
  std::vector<std::weak_ptr<Joint>> joints_ GUARDED_BY(mutex_);
  // The application's socket whose server failed the user check: not
  // offered to the host again until another socket takes its place.
  std::optional<SocketFile> refused_ GUARDED_BY(mutex_);
  // Told when a joint has logged a chunk or ended.
  std::condition_variable_any progress_;

  int stopRead_ = -1;
  int stopWrite_ = -1;
  std::thread watcher_;
};

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_SOCKET_TAP_H_
