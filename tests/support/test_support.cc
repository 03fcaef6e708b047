#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace ostrel::testing {

using Clock = std::chrono::steady_clock;

namespace {

// A peer that has gone must show up as a failed write, not end the tests.
const bool kIgnoreSigpipe = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string textOf(const std::optional<Bytes>& bytes) {
  return bytes ? textOf(*bytes) : std::string("<no frame>");
}

Bytes frameOf(std::string_view payload) {
  Bytes frame(4 + payload.size());
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(length >> (8 * i));
  std::copy(payload.begin(), payload.end(), frame.begin() + 4);
  return frame;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/ostrel-test-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool waitUntil(const std::function<bool()>& condition, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));  // polling interval, not synchronisation
  }
  return true;
}

bool waitReadable(int fd, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remainingMs(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

std::optional<Bytes> readBytes(int fd, std::size_t count, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Bytes bytes(count);
  std::size_t filled = 0;
  while (filled < count) {
    if (!waitReadable(fd, std::chrono::duration_cast<milliseconds>(deadline - Clock::now())))
      return std::nullopt;
    const ssize_t n = ::read(fd, bytes.data() + filled, count - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    filled += static_cast<std::size_t>(n);
  }
  return bytes;
}

std::optional<Bytes> readFrame(int fd, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::optional<Bytes> header = readBytes(fd, 4, timeout);
  if (!header) return std::nullopt;
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>((*header)[i]) << (8 * i);
  if (length == 0) return Bytes{};
  return readBytes(fd, length, std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
}

bool readsEndOfStream(int fd, milliseconds timeout) {
  if (!waitReadable(fd, timeout)) return false;
  char byte;
  ssize_t n;
  do {
    n = ::read(fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

bool writeBytes(int fd, const Bytes& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
      const ssize_t m = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (m < 0 && errno == EINTR) continue;
      if (m <= 0) return false;
      written += static_cast<std::size_t>(m);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

AppConnection& AppConnection::operator=(AppConnection&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

AppConnection::~AppConnection() { close(); }

std::optional<Bytes> AppConnection::readFrame(milliseconds timeout) const {
  return testing::readFrame(fd_, timeout);
}

bool AppConnection::send(const Bytes& bytes) const { return writeBytes(fd_, bytes); }

void AppConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

FakeApp::FakeApp(std::string path) : path_(std::move(path)) {
  ::unlink(path_.c_str());
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 16) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

FakeApp::~FakeApp() { stop(); }

std::optional<AppConnection> FakeApp::accept(milliseconds timeout) const {
  if (!hasPendingConnection(timeout)) return std::nullopt;
  const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return std::nullopt;
  return AppConnection(connection);
}

bool FakeApp::hasPendingConnection(milliseconds timeout) const {
  return fd_ >= 0 && waitReadable(fd_, timeout);
}

void FakeApp::stop() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(path_.c_str());
  fd_ = -1;
}

HostProcess::HostProcess(const std::string& executable,
                         std::map<std::string, std::string> environment,
                         std::vector<std::string> arguments) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    return;
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, in[0], 0);
  posix_spawn_file_actions_adddup2(&files, out[1], 1);
  posix_spawn_file_actions_adddup2(&files, err[1], 2);
  posix_spawn_file_actions_addclosefrom_np(&files, 3);  // the host inherits nothing else

  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    const std::size_t eq = text.find('=');
    if (eq != std::string::npos) merged[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (auto& [name, value] : environment) {
    if (value == "\x01unset") {
      merged.erase(name);
    } else {
      merged[name] = value;
    }
  }
  std::vector<std::string> envText;
  for (auto& [name, value] : merged) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> argText{executable};
  argText.insert(argText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argText) argv.push_back(text.data());
  argv.push_back(nullptr);

  if (::posix_spawn(&pid_, executable.c_str(), &files, nullptr, argv.data(), envp.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&files);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {stdin_, stdout_, stderr_}) {
    if (fd >= 0) ::close(fd);
  }
}

bool HostProcess::send(const Bytes& bytes) const { return writeBytes(stdin_, bytes); }

std::optional<Bytes> HostProcess::readFrame(milliseconds timeout) const {
  return testing::readFrame(stdout_, timeout);
}

bool HostProcess::staysQuiet(milliseconds quiet) const { return !waitReadable(stdout_, quiet); }

void HostProcess::closeInput() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

void HostProcess::closeOutput() {
  if (stdout_ >= 0) ::close(stdout_);
  stdout_ = -1;
}

std::optional<int> HostProcess::waitExit(milliseconds timeout) {
  int status = 0;
  const bool ended = waitUntil(
      [&] {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        return done == pid_;
      },
      timeout);
  if (!ended) return std::nullopt;
  pid_ = -1;
  return status;
}

std::string HostProcess::errorOutput() {
  char chunk[4096];
  while (stderr_ >= 0 && waitReadable(stderr_, milliseconds(0))) {
    const ssize_t n = ::read(stderr_, chunk, sizeof chunk);
    if (n <= 0) break;
    errorText_.append(chunk, static_cast<std::size_t>(n));
  }
  return errorText_;
}

bool exitedWithZero(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

bool endsCleanly(HostProcess& host) {
  host.closeInput();
  return exitedWithZero(host.waitExit()) && host.errorOutput().empty();
}

std::string hostExecutable() { return OSTREL_HOST_EXECUTABLE; }

}  // namespace ostrel::testing
