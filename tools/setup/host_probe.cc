#include "host_probe.h"

#include <poll.h>
#include <signal.h>
#include <simdjson.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "channel/frame.h"
#include "platform/descriptors.h"

// Declared by no header on macOS.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace ostrel::setup {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxStandardError = 4096;

struct Pipes {
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  int error[2] = {-1, -1};
};

void closeDescriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void closeAll(Pipes& pipes) {
  for (int* ends : {pipes.input, pipes.output, pipes.error}) {
    closeDescriptor(ends[0]);
    closeDescriptor(ends[1]);
  }
}

int remainingMilliseconds(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads what is available on `fd` into `into` (at most `limit` bytes kept);
// closes it at end of file or on an error.
void drain(int& fd, std::string& into, std::size_t limit) {
  char buffer[4096];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    closeDescriptor(fd);
    return;
  }
  std::size_t room = limit > into.size() ? limit - into.size() : 0;
  into.append(buffer, std::min(room, static_cast<std::size_t>(n)));
}

// Reads standard output and standard error until `done` says enough, both
// are closed, or the deadline passes.
template <typename Done>
void readUntil(Pipes& pipes, std::string& output, std::string& error, Clock::time_point until,
               Done done) {
  while (!done() && (pipes.output[0] >= 0 || pipes.error[0] >= 0)) {
    pollfd fds[2] = {{pipes.output[0], POLLIN, 0}, {pipes.error[0], POLLIN, 0}};
    int ready = ::poll(fds, 2, remainingMilliseconds(until));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    if (fds[0].revents != 0) drain(pipes.output[0], output, kMaxMessageLength + kFrameHeaderSize);
    if (fds[1].revents != 0) drain(pipes.error[0], error, kMaxStandardError);
  }
}

// The payload of the first complete frame in `output`, if there is one.
std::optional<std::string> firstFrame(const std::string& output) {
  if (output.size() < kFrameHeaderSize) return std::nullopt;
  std::uint8_t header[kFrameHeaderSize];
  std::memcpy(header, output.data(), kFrameHeaderSize);
  std::size_t length = decodeFrameLength(header);
  if (output.size() - kFrameHeaderSize < length) return std::nullopt;
  return output.substr(kFrameHeaderSize, length);
}

void classify(const std::string& payload, ProbeResult& result) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  std::string_view type;
  std::string_view app;
  bool parsed = parser.parse(simdjson::padded_string(payload)).get(root) == simdjson::SUCCESS &&
                root["type"].get_string().get(type) == simdjson::SUCCESS &&
                root["app"].get_string().get(app) == simdjson::SUCCESS;
  if (parsed && type == "status" && app == "connected") {
    result.outcome = ProbeOutcome::kConnected;
  } else if (parsed && type == "status" && app == "unavailable") {
    result.outcome = ProbeOutcome::kUnavailable;
  } else {
    result.outcome = ProbeOutcome::kUnexpected;
    result.detail = payload.substr(0, 200);
  }
}

// Waits for the host to end, stopping it when the deadline passes.
void awaitExit(pid_t pid, Clock::time_point until, ProbeResult& result) {
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitDescription = "did not exit after its input closed, and was stopped";
    return;
  }
  if (done < 0) {
    result.exitDescription = "ended, but its exit status could not be read";
  } else if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
    result.exitDescription = "exited with status " + std::to_string(*result.exitStatus);
  } else if (WIFSIGNALED(status)) {
    result.exitDescription = "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
                             ::strsignal(WTERMSIG(status)) + ")";
  }
}

bool openPipes(Pipes& pipes) {
  return openPipe(pipes.input) && openPipe(pipes.output) && openPipe(pipes.error);
}

// Starts the program with the child's ends of `pipes` as descriptors 0-2.
int spawn(const std::string& path, const std::vector<std::string>& arguments, Pipes& pipes,
          pid_t& pid) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipes.input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, pipes.output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipes.error[1], 2);
  int error = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

}  // namespace

std::vector<std::string> browserArguments(Family family, const std::string& manifestPath,
                                          const std::string& allowed) {
  if (family == Family::kChromium) return {allowed};
  return {manifestPath, allowed};
}

ProbeResult probeHost(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds deadline) {
  ProbeResult result;
  Pipes pipes;
  if (!openPipes(pipes)) {
    result.outcome = ProbeOutcome::kDidNotStart;
    result.detail = std::string("cannot create pipes: ") + std::strerror(errno);
    closeAll(pipes);
    return result;
  }
  pid_t pid = -1;
  if (int error = spawn(path, arguments, pipes, pid); error != 0) {
    result.outcome = ProbeOutcome::kDidNotStart;
    result.detail = std::strerror(error);
    closeAll(pipes);
    return result;
  }
  closeDescriptor(pipes.input[0]);
  closeDescriptor(pipes.output[1]);
  closeDescriptor(pipes.error[1]);

  std::string output;
  readUntil(pipes, output, result.standardError, Clock::now() + deadline,
            [&] { return firstFrame(output).has_value(); });
  if (std::optional<std::string> payload = firstFrame(output)) classify(*payload, result);

  closeDescriptor(pipes.input[1]);
  Clock::time_point exitBy = Clock::now() + deadline;
  std::string rest;
  readUntil(pipes, rest, result.standardError, exitBy, [] { return false; });
  awaitExit(pid, exitBy, result);
  closeAll(pipes);
  return result;
}

}  // namespace ostrel::setup
