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
// application listens (checked every 100 ms without connecting to it), and
// goes away the moment the application ends a connection. What it cannot
// hide: the application sees the tap, not the host, as its peer process
// (the same user), and an application that appears is seen up to 100 ms
// late.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "tap_log.h"

namespace ostrel::tap {

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
  std::optional<std::string> start();

  // Stops watching and removes the socket and the private folder. The
  // connections that are open stay open.
  void stop() EXCLUDES(mutex_);

  // The path to give the host as OSTREL_SOCKET_PATH.
  const std::string& hostSocketPath() const { return hostSocketPath_; }

 private:
  void watch();
  void updateListener(bool appThere) EXCLUDES(mutex_);
  void closeListener() REQUIRES(mutex_);
  // Called when the application ended a connection: from now on the host's
  // attempts fail, until the watcher sees the application listen again.
  void withdrawSocket() EXCLUDES(mutex_);
  void join(int hostSide);

  std::string appSocketPath_;
  TapLog& log_;
  std::string folder_;
  std::string hostSocketPath_;
  Mutex mutex_;
  int listener_ GUARDED_BY(mutex_) = -1;
  // The socket file is gone but the watcher has not closed it yet.
  bool withdrawn_ GUARDED_BY(mutex_) = false;
  int stopRead_ = -1;
  int stopWrite_ = -1;
  std::thread watcher_;
};

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_SOCKET_TAP_H_
