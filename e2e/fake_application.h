#ifndef OSTREL_E2E_FAKE_APPLICATION_H_
#define OSTREL_E2E_FAKE_APPLICATION_H_

// Stands in for the desktop application: listens on a Unix-domain socket,
// accepts the host's connections and exchanges frames with it. Every wait
// has a deadline; nothing here sleeps. It can go away (closing the
// connection and the listening socket, and removing the socket file) and
// come back at the same path.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace ostrel::e2e {

class FakeApplication {
 public:
  explicit FakeApplication(std::string socketPath);
  ~FakeApplication();
  FakeApplication(const FakeApplication&) = delete;
  FakeApplication& operator=(const FakeApplication&) = delete;

  // Starts listening; false when the socket cannot be set up.
  bool listen();

  // Waits for the host to connect. `giveUp` is asked now and then whether
  // waiting is still worthwhile (for instance whether the browser still
  // runs). False on time-out or when it gives up.
  bool accept(std::chrono::milliseconds deadline, const std::function<bool()>& giveUp = {});

  // The process id of the connected peer.
  std::optional<pid_t> peerProcess() const;

  // The next frame's payload, or nothing on time-out or end of stream.
  std::optional<std::string> receive(std::chrono::milliseconds deadline);

  bool send(const std::string& payload) const;

  // True when the peer closes the connection before the deadline, with no
  // more frames in between.
  bool awaitClose(std::chrono::milliseconds deadline);

  // Closes the connection and the listening socket and removes the socket
  // file: the application has quit.
  void goAway();

 private:
  static bool waitReadable(int fd, std::chrono::steady_clock::time_point until);

  std::string socketPath_;
  int listener_ = -1;
  int connection_ = -1;
  std::string buffered_;
};

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_FAKE_APPLICATION_H_
