#ifndef OSTREL_TESTS_SUPPORT_TEST_SUPPORT_H_
#define OSTREL_TESTS_SUPPORT_TEST_SUPPORT_H_

// Helpers shared by the tests: temporary folders, frames read with a
// deadline, a fake application listening on a real Unix-domain socket, and
// the built host running as a child process on real pipes.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::testing {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
inline constexpr milliseconds kDeadline{10000};

Bytes bytesOf(std::string_view text);
std::string textOf(const Bytes& bytes);
// The text of a frame that was read, or "<no frame>" when none came.
std::string textOf(const std::optional<Bytes>& bytes);
// The frame of `payload`: 4-byte little-endian length, then the bytes.
Bytes frameOf(std::string_view payload);

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Polls `condition` until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, milliseconds timeout = kDeadline);

// True when `fd` becomes readable (data, end of stream or error) in time.
bool waitReadable(int fd, milliseconds timeout);
// Reads exactly `count` bytes before the deadline; nothing on end of stream,
// error or time-out.
std::optional<Bytes> readBytes(int fd, std::size_t count, milliseconds timeout = kDeadline);
// Reads one frame's payload before the deadline.
std::optional<Bytes> readFrame(int fd, milliseconds timeout = kDeadline);
// True when `fd` reaches end of stream in time with no byte before it.
bool readsEndOfStream(int fd, milliseconds timeout = kDeadline);
bool writeBytes(int fd, const Bytes& bytes);

// One accepted connection of the fake application.
class AppConnection {
 public:
  explicit AppConnection(int fd) : fd_(fd) {}
  AppConnection(AppConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  AppConnection& operator=(AppConnection&& other) noexcept;
  ~AppConnection();

  int fd() const { return fd_; }
  std::optional<Bytes> readFrame(milliseconds timeout = kDeadline) const;
  bool send(const Bytes& bytes) const;
  bool sendFrame(std::string_view payload) const { return send(frameOf(payload)); }
  void close();

 private:
  int fd_;
};

// The desktop application's side: listens on a Unix-domain socket.
class FakeApp {
 public:
  explicit FakeApp(std::string path);
  ~FakeApp();
  bool listening() const { return fd_ >= 0; }
  std::optional<AppConnection> accept(milliseconds timeout = kDeadline) const;
  // True when a connection is waiting to be accepted within `timeout`.
  bool hasPendingConnection(milliseconds timeout) const;
  // Stops listening and removes the socket file.
  void stop();

 private:
  std::string path_;
  int fd_ = -1;
};

// The built host, started as a browser starts it: pipes on standard input,
// output and error, and an origin as its argument.
class HostProcess {
 public:
  HostProcess(const std::string& executable, std::map<std::string, std::string> environment,
              std::vector<std::string> arguments = {
                  "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
  ~HostProcess();

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int output() const { return stdout_; }

  bool send(const Bytes& bytes) const;
  bool sendFrame(std::string_view payload) const { return send(frameOf(payload)); }
  std::optional<Bytes> readFrame(milliseconds timeout = kDeadline) const;
  // True when nothing arrives on standard output within `quiet`.
  bool staysQuiet(milliseconds quiet) const;
  void closeInput();
  void closeOutput();
  // The exit status once the host has ended, or nothing on time-out.
  std::optional<int> waitExit(milliseconds timeout = kDeadline);
  // Everything the host wrote to standard error so far.
  std::string errorOutput();

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string errorText_;
};

// True when `status`, as waitExit() gives it, says the process exited with 0.
bool exitedWithZero(const std::optional<int>& status);

// Closes the host's input, as a browser does, and tells whether it then
// exited with status 0 having written nothing to standard error.
bool endsCleanly(HostProcess& host);

// The path of the built host executable (set by the build).
std::string hostExecutable();

// Status payloads as the host writes them.
inline constexpr std::string_view kConnected = R"({"type":"status","app":"connected"})";
inline constexpr std::string_view kUnavailable = R"({"type":"status","app":"unavailable"})";

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_SUPPORT_TEST_SUPPORT_H_
