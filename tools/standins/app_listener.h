#ifndef OSTREL_TOOLS_STANDINS_APP_LISTENER_H_
#define OSTREL_TOOLS_STANDINS_APP_LISTENER_H_

// The listening Unix-domain socket of ostrel-standin-app. Creates missing
// parent folders, replaces a stale socket file that nobody listens on, and
// refuses to take over a path where another program listens or where a
// file that is not a socket lies. Removes the socket file again when
// closed, unless another program has replaced it meanwhile. Accepting and
// talking to connections is left to the caller.

#include <sys/types.h>

#include <optional>
#include <string>

namespace ostrel::standins {

// The path the host would use: `option` when given, else OSTREL_SOCKET_PATH,
// else the default path below the home directory. Absent, with `error` set,
// when none can be settled.
std::optional<std::string> resolveSocketPath(const std::optional<std::string>& option,
                                             std::string& error);

class AppListener {
 public:
  AppListener() = default;
  AppListener(const AppListener&) = delete;
  AppListener& operator=(const AppListener&) = delete;
  ~AppListener() { close(); }

  // Starts listening (non-blocking, close-on-exec). False with `error` set.
  bool open(const std::string& path, std::string& error);

  // A new non-blocking, close-on-exec connection, or -1 when none waits.
  int accept();

  int fd() const { return fd_; }
  void close();

 private:
  int fd_ = -1;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_APP_LISTENER_H_
