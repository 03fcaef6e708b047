#ifndef OSTREL_PEERS_FAKE_APP_H_
#define OSTREL_PEERS_FAKE_APP_H_

// The desktop application's side: a Unix-domain socket listening at a
// path, and the connections it accepts. Listening creates missing parent
// folders (private ones) and replaces a stale socket file that nobody
// listens on, but refuses a path where another program listens or where a
// file that is not a socket lies. Stopping removes the socket file unless
// another program has replaced it meanwhile. What is said on a connection
// is up to the caller.

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tools/common/bytes.h"
#include "tools/common/stream_io.h"

namespace ostrel::peers {

using common::Bytes;
using common::kDeadline;
using common::milliseconds;

// One accepted connection; owns its descriptor (blocking, close-on-exec).
class AppConnection {
 public:
  explicit AppConnection(int fd) : fd_(fd) {}
  AppConnection(AppConnection&& other) noexcept : fd_(other.release()) {}
  AppConnection& operator=(AppConnection&& other) noexcept;
  ~AppConnection() { close(); }

  int fd() const { return fd_; }
  std::optional<Bytes> readFrame(milliseconds timeout = kDeadline) const;
  bool send(std::span<const std::uint8_t> bytes) const;
  bool sendFrame(std::string_view payload) const { return send(common::frameOf(payload)); }
  // The process at the other end, while it is connected.
  std::optional<pid_t> peerProcess() const;
  // Hands the descriptor over to the caller.
  int release();
  void close();

 private:
  int fd_;
};

class FakeApp {
 public:
  // Starts listening at once; see listening() and error().
  explicit FakeApp(std::string path);
  ~FakeApp() { stop(); }
  FakeApp(const FakeApp&) = delete;
  FakeApp& operator=(const FakeApp&) = delete;

  bool listening() const { return fd_ >= 0; }
  // Why it is not listening, in words.
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // The listening descriptor (non-blocking), to poll in an event loop.
  int fd() const { return fd_; }

  // A connection that is waiting now or comes within `timeout`.
  std::optional<AppConnection> accept(milliseconds timeout = kDeadline) const;
  // True when a connection is waiting to be accepted within `timeout`.
  bool hasPendingConnection(milliseconds timeout) const;
  // Stops listening and removes the socket file: the application quits.
  void stop();

 private:
  bool listen();

  std::string path_;
  std::string error_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_FAKE_APP_H_
