// ostrel-standin-browser: stands in for the browser. Starts a host with
// pipes on its standard streams, sends it JSON messages and prints every
// frame it writes, then closes its input and reports how it ended.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "browser_options.h"
#include "channel/frame.h"
#include "console.h"
#include "host/settings.h"
#include "line_splitter.h"
#include "out_queue.h"
#include "payload_text.h"
#include "platform/descriptors.h"
#include "signal_pipe.h"
#include "tools/common/bytes.h"
#include "tools/common/child_process.h"
#include "tools/common/exit_status.h"
#include "tools/common/frame_splitter.h"
#include "tools/common/paths.h"

namespace ostrel::standins {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kExitGrace{5};
// A host writes its first status message within milliseconds of starting.
constexpr std::chrono::seconds kStatusGrace{1};
constexpr std::chrono::seconds kDrainAfterExit{1};
constexpr std::string_view kConnected = R"({"type":"status","app":"connected"})";
constexpr std::string_view kUnavailable = R"({"type":"status","app":"unavailable"})";

using common::asBytes;
using common::asText;

std::string sizeText(std::size_t bytes) { return std::to_string(bytes) + " B"; }

class StandinBrowser {
 public:
  explicit StandinBrowser(BrowserOptions options) : options_(std::move(options)) {}

  int run(const std::string& hostPath) {
    if (!signals_.install()) {
      printError(std::string("cannot set up signal handling: ") + std::strerror(errno));
      return 1;
    }
    std::vector<std::string> environment;
    if (options_.socketPath) {
      environment.push_back(std::string(kSocketPathVariable) + "=" + *options_.socketPath);
    }
    // The host gets its own process group, so that Ctrl-C in the terminal
    // reaches only this tool, which then ends the host as a browser would.
    host_ = std::make_unique<common::ChildProcess>(
        common::Launch{.argv = {hostPath, options_.origin},
                       .environment = common::environmentWith(environment),
                       .ownProcessGroup = true});
    if (!host_->started()) {
      printError(host_->startError());
      return 127;
    }
    for (int fd : {host_->input(), host_->output(), host_->errors()}) setNonBlocking(fd);
    printEvent("browser: started " + hostPath + " " + options_.origin + " (pid " +
               std::to_string(host_->pid()) + ")");
    statusDueAt_ = Clock::now() + kStatusGrace;
    for (const std::string& message : options_.messages) send(message);
    readingStdin_ = options_.messages.empty();
    if (!readingStdin_) inputDone_ = true;
    while (!finished()) pollOnce();
    return report();
  }

 private:
  bool finished() const {
    if (!exited_) return false;
    return (host_->output() < 0 && host_->errors() < 0) || Clock::now() >= drainUntil_;
  }

  void pollOnce() {
    scheduleInputClose();
    std::vector<pollfd> fds = {
        {signals_.fd(), POLLIN, 0},
        {readingStdin_ ? STDIN_FILENO : -1, POLLIN, 0},
        {host_->output(), POLLIN, 0},
        {host_->errors(), POLLIN, 0},
        {out_.empty() ? -1 : host_->input(), POLLOUT, 0},
    };
    ::poll(fds.data(), fds.size(), timeoutMillis());
    if (fds[0].revents) onSignal();
    if (fds[1].revents) onStdin();
    if (fds[2].revents) onHostOutput();
    if (fds[3].revents) onHostErrors();
    if (fds[4].revents) flushInput();
    onDeadlines();
  }

  // Once nothing more is to be sent, the host's input closes --wait seconds
  // after the last byte left.
  void scheduleInputClose() {
    if (!inputDone_ || host_->input() < 0 || !out_.empty() || closeAt_) return;
    closeAt_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options_.waitSeconds));
  }

  int timeoutMillis() const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](std::optional<Clock::time_point> when) {
      if (when && (!next || *when < *next)) next = when;
    };
    consider(closeAt_);
    consider(killAt_);
    consider(statusDueAt_);
    if (exited_) consider(drainUntil_);
    if (!next) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
  }

  void onDeadlines() {
    const auto now = Clock::now();
    if (statusDueAt_ && now >= *statusDueAt_) {
      statusDueAt_.reset();
      noStatusInTime_ = true;
      printError("the host wrote no status message within " + std::to_string(kStatusGrace.count()) +
                 " second of starting, as every host does first");
    }
    if (closeAt_ && now >= *closeAt_) {
      closeAt_.reset();
      closeInput("closing the host's input");
    }
    if (killAt_ && now >= *killAt_ && !exited_) {
      killAt_.reset();
      printError("the host has not ended " + std::to_string(kExitGrace.count()) +
                 " seconds after its input closed; killing it");
      host_->signal(SIGKILL);
    }
  }

  void onSignal() {
    bool childEnded = false;
    if (signals_.drain(childEnded)) onInterrupt();
    if (childEnded) reap();
  }

  void onInterrupt() {
    if (host_->input() >= 0) {
      out_.clear();
      inputDone_ = true;
      readingStdin_ = false;
      closeInput("interrupted; closing the host's input");
    } else if (!exited_) {
      printEvent("browser: interrupted again; killing the host");
      host_->signal(SIGKILL);
    }
  }

  void reap() {
    if (exited_) return;
    const std::optional<int> status = host_->waitExit(std::chrono::milliseconds(0));
    if (!status) return;
    exited_ = true;
    waitStatus_ = *status;
    drainUntil_ = Clock::now() + kDrainAfterExit;
    if (host_->input() >= 0) {
      printEvent("browser: the host ended before its input was closed");
      out_.clear();
      host_->closeInput();
      closeAt_.reset();
    }
  }

  void closeInput(const std::string& why) {
    if (host_->input() < 0) return;
    printEvent("browser: " + why);
    host_->closeInput();
    killAt_ = Clock::now() + kExitGrace;
  }

  void onStdin() {
    char buffer[65536];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      for (const std::string& line : lines_.finish()) sendLine(line);
      readingStdin_ = false;
      inputDone_ = true;
      return;
    }
    for (const std::string& line : lines_.feed({buffer, static_cast<std::size_t>(n)})) {
      sendLine(line);
    }
  }

  void sendLine(const std::string& line) {
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    if (!options_.raw && !isJson(line)) {
      printError("not sent, not JSON (--raw sends it anyway): " +
                 line.substr(0, kDefaultShownBytes));
      return;
    }
    send(line);
  }

  void send(const std::string& message) {
    if (host_->input() < 0) {
      printError("not sent, the host's input is closed: " +
                 describePayload(asBytes(message), shownBytes()));
      return;
    }
    out_.append(frameMessage(asBytes(message)));
    printEvent("browser → host  " + sizeText(message.size()) + "  " +
               describePayload(asBytes(message), shownBytes()));
    if (static_cast<std::int64_t>(message.size()) > kMaxMessageLength) {
      printEvent("browser: that message is over 1 MiB; the host will stop on it");
    }
    flushInput();
  }

  void flushInput() {
    if (host_->input() < 0 || out_.flush(host_->input())) return;
    printEvent(std::string("browser: cannot write to the host: ") + std::strerror(errno));
    out_.clear();
    host_->closeInput();
  }

  void onHostOutput() {
    const std::span<std::uint8_t> room = splitter_.room(65536);
    const ssize_t n = ::read(host_->output(), room.data(), room.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      splitter_.end();
      host_->closeOutput();
      return;
    }
    const bool wasBroken = splitter_.broken();
    splitter_.commit(static_cast<std::size_t>(n));
    while (const auto payload = splitter_.next()) onFrame(*payload);
    if (splitter_.broken() && !wasBroken) {
      printError("the host wrote a frame header announcing " +
                 std::to_string(splitter_.brokenLength()) +
                 " bytes, over the 1 MiB limit: not a valid frame");
    }
  }

  void onFrame(std::span<const std::uint8_t> payload) {
    const std::string_view text = asText(payload);
    const bool status = text == kConnected || text == kUnavailable;
    if (status) statusDueAt_.reset();
    if (++frames_ == 1 && !status) {
      printEvent("browser: the host's first frame is not a status message");
    }
    std::string line = "browser ← host  " + sizeText(payload.size()) + "  ";
    if (status) {
      line += text == kConnected ? "status: connected" : "status: unavailable";
    } else {
      line += describePayload(payload, shownBytes());
    }
    printEvent(line);
  }

  void onHostErrors() {
    char buffer[4096];
    const ssize_t n = ::read(host_->errors(), buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      for (const std::string& line : errorLines_.finish()) printError("host stderr: " + line);
      host_->closeErrors();
      return;
    }
    errorBytes_ += static_cast<std::size_t>(n);
    for (const std::string& line : errorLines_.feed({buffer, static_cast<std::size_t>(n)})) {
      printError("host stderr: " + line);
    }
  }

  int report() {
    printEvent("browser: the host " + common::describeWaitStatus(waitStatus_));
    bool faults = false;
    if (errorBytes_ > 0) {
      printError("the host wrote " + std::to_string(errorBytes_) +
                 " bytes to standard error; a host must write nothing there");
      faults = true;
    }
    if (splitter_.invalidBytes() > 0) {
      printError("the host wrote " + std::to_string(splitter_.invalidBytes()) +
                 " bytes that are not a valid frame");
      faults = true;
    }
    if (statusDueAt_) {  // it ended sooner, without one
      printError("the host ended without writing a status message, as every host does first");
      noStatusInTime_ = true;
    }
    if (noStatusInTime_) faults = true;
    const int code = common::shellExitCode(waitStatus_);
    return options_.strict && faults && code == 0 ? 1 : code;
  }

  std::size_t shownBytes() const { return options_.full ? 0 : kDefaultShownBytes; }

  BrowserOptions options_;
  SignalPipe signals_;
  std::unique_ptr<common::ChildProcess> host_;
  OutQueue out_;
  common::FrameSplitter splitter_;
  LineSplitter lines_;
  LineSplitter errorLines_;
  std::size_t errorBytes_ = 0;
  std::size_t frames_ = 0;
  bool readingStdin_ = false;
  bool inputDone_ = false;
  bool exited_ = false;
  int waitStatus_ = 0;
  std::optional<Clock::time_point> closeAt_;
  std::optional<Clock::time_point> killAt_;
  std::optional<Clock::time_point> statusDueAt_;  // until the first status message
  bool noStatusInTime_ = false;
  Clock::time_point drainUntil_;
};

std::optional<std::string> defaultHost(std::string& error) {
  const auto folder = common::ownFolder();
  if (!folder) {
    error = "cannot find this tool's own folder; give --host PATH";
    return std::nullopt;
  }
  return *folder + "/ostrel-native-host";
}

}  // namespace
}  // namespace ostrel::standins

namespace ostrel::standins {
namespace {

int browserMain(int argc, char** argv) {
  if (!ostrel::fillClosedStandardDescriptors()) return 1;
  setProgramName("ostrel-standin-browser");
  std::string error;
  const auto options = parseBrowserOptions(argc, argv, error);
  if (!options) {
    printError(error.empty() ? "see --help for the options" : error);
    return 2;
  }
  if (options->help) {
    printPlain(kBrowserHelp);
    return 0;
  }
  if (!options->raw) {
    for (const std::string& message : options->messages) {
      if (!isJson(message)) {
        printError("not JSON (--raw sends it anyway): " + message);
        return 2;
      }
    }
  }
  const auto host = options->host ? options->host : defaultHost(error);
  if (!host) {
    printError(error);
    return 2;
  }
  return StandinBrowser(*options).run(*host);
}

}  // namespace
}  // namespace ostrel::standins

int main(int argc, char** argv) { return ostrel::standins::browserMain(argc, argv); }
