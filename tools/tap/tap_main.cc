// ostrel-native-host-tap: runs the host in its own place and writes one
// line per frame that passes between the browser and the host and between
// the host and the application, without changing a byte of either stream,
// the host's exit status or what the browser sees when the host ends.
// Registered in the host's place by "ostrel-native-host-setup install
// --trace FILE", which writes a small script that starts it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "build_config.h"  // generated: OSTREL_VERSION
#include "channel/payload.h"
#include "host/classify.h"
#include "host/settings.h"
#include "platform/descriptors.h"
#include "pump.h"
#include "socket_tap.h"
#include "tap_log.h"
#include "tools/common/log_file.h"

// Declared by no header on Apple systems.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace ostrel::tap {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct TapOptions {
  std::string logPath;
  std::string hostPath;
  std::vector<std::string> hostArguments;
};

const char* const kUsage =
    "Usage: ostrel-native-host-tap --log FILE --host PATH [--] [ARGUMENT]...\n"
    "Runs the native-messaging host PATH with the ARGUMENTs the browser gave and\n"
    "writes one line per frame that passes to FILE (a file, appended to, or a\n"
    "terminal such as the output of tty): between the browser and the host, and\n"
    "between the host and the application. Both streams, the host's exit status\n"
    "and what the browser sees when the host ends stay as they are.\n"
    "\n"
    "FILE must be this user's: a file (made 0600 when it is not) or a terminal,\n"
    "in folders no other user can change, and not a symbolic link. When it\n"
    "cannot be opened, the tap says why on standard error and runs the host in\n"
    "its own place, unwatched. Lines that the file does not take in time (a\n"
    "terminal on hold) are left out, and the log says how many.\n"
    "\n"
    "Each line: local time, direction (browser->host, host->browser, host->app,\n"
    "app->host), payload size, then the payload as text (\"(not JSON)\" or \"hex:\"\n"
    "when it is not JSON, shortened after 160 bytes). The host's own status\n"
    "messages are marked [status]. A browser message that reaches the host\n"
    "while no application is there is dropped, and marked [dropped: no\n"
    "application]; but a \"hello\", \"focus\" or \"blur\" is marked [no application:\n"
    "kept to replay when it connects]: the host keeps the last \"hello\" and the\n"
    "last \"focus\" or \"blur\" and sends them to the application when it\n"
    "connects. Lines starting with -- are events.\n"
    "\n"
    "The host is given a socket of the tap's own as OSTREL_SOCKET_PATH, which\n"
    "exists only while the application listens on the real one (the tap's\n"
    "OSTREL_SOCKET_PATH, or the host's default path). The tap finds that out\n"
    "as the host would, by connecting to it, and keeps that connection for the\n"
    "host's next attempt. Like the host, the tap talks only to an application\n"
    "run by its own user. The application sees the tap, not the host, as its\n"
    "peer process (the user is the same), and the host's connection made up to\n"
    "2 seconds before the host makes its attempt.\n"
    "\n"
    "Not started by hand as a rule: register it with\n"
    "  ostrel-native-host-setup install --trace FILE [the install options]\n"
    "and take it out again with the same install command without --trace.\n"
    "\n"
    "Options:\n"
    "  --log FILE   where the lines go\n"
    "  --host PATH  the host to run\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

std::optional<TapOptions> parse(int argc, char** argv, std::string& error) {
  TapOptions options;
  int at = 1;
  for (; at < argc; ++at) {
    std::string_view word = argv[at];
    if (word == "--") {
      ++at;
      break;
    }
    if ((word == "--log" || word == "--host") && at + 1 < argc) {
      (word == "--log" ? options.logPath : options.hostPath) = argv[++at];
    } else if (word == "--log" || word == "--host") {
      error = std::string(word) + " needs a value";
      return std::nullopt;
    } else {
      break;  // the browser's own arguments begin
    }
  }
  options.hostArguments.assign(argv + at, argv + argc);
  if (options.logPath.empty() || options.hostPath.empty()) {
    error = "give --log FILE and --host PATH";
    return std::nullopt;
  }
  return options;
}

std::vector<std::string> hostEnvironment(const std::string& socketPath) {
  std::vector<std::string> entries;
  const std::string prefix = std::string(kSocketPathVariable) + "=";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string_view(*entry).starts_with(prefix)) continue;
    entries.emplace_back(*entry);
  }
  entries.push_back(prefix + socketPath);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

std::string shownCommand(const TapOptions& options) {
  std::string text = options.hostPath;
  for (const std::string& argument : options.hostArguments) text += " " + argument;
  return text;
}

struct Host {
  pid_t pid = -1;
  int input = -1;   // the host's standard input, written by the tap
  int output = -1;  // the host's standard output, read by the tap
};

// The host's output: what it wrote to the application before is logged
// first.
class OutputWatcher : public PumpWatcher {
 public:
  explicit OutputWatcher(SocketTap& sockets) : sockets_(sockets) {}
  void beforeLogging() override { sockets_.catchUp(); }

 private:
  SocketTap& sockets_;
};

// The browser's messages that find no application are marked with what
// the host does with them: it drops each, but keeps the last "hello" and
// the last "focus" or "blur" to replay when the application connects.
class InputWatcher : public PumpWatcher {
 public:
  explicit InputWatcher(SocketTap& sockets) : sockets_(sockets) {}
  std::string markFor(std::span<const std::uint8_t> payload) override {
    const Payload message = Payload::copyOf(payload);
    const std::optional<std::string_view> type = actedOnType(message);
    // "open_app" is never forwarded, so never dropped.
    if (type == "open_app" || !sockets_.appUnavailable()) return {};
    if (type == "hello" || type == "focus" || type == "blur") {
      return "no application: kept to replay when it connects";
    }
    return "dropped: no application";
  }

 private:
  SocketTap& sockets_;
};

bool sigpipeWasIgnored = false;
volatile sig_atomic_t hostPid = -1;

void passOn(int number) {
  if (hostPid > 0) ::kill(hostPid, number);
}

// The host gets the tap's descriptors 0 and 1 replaced by pipes, and
// everything else as the browser gave it to the tap. Not SpawnSetup, which
// starts a program that inherits nothing: in the tap's place the host must
// inherit just what it would have inherited from the browser, its signal
// dispositions included.
std::optional<Host> startHost(const TapOptions& options, const std::string& socketPath,
                              std::string& error) {
  int in[2];
  int out[2];
  if (!openPipe(in)) return error = std::strerror(errno), std::nullopt;
  if (!openPipe(out)) {
    error = std::strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int failed = posix_spawn_file_actions_init(&actions);
  if (failed == 0 && (failed = posix_spawnattr_init(&attributes)) != 0) {
    posix_spawn_file_actions_destroy(&actions);
  }
  if (failed != 0) {
    error = std::string("cannot prepare to start the host: ") + std::strerror(failed);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    return std::nullopt;
  }
  failed = posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  if (failed == 0) failed = posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (failed == 0 && !sigpipeWasIgnored) {
    // The tap ignores SIGPIPE for itself; the host gets what the browser gave.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    failed = posix_spawnattr_setsigdefault(&attributes, &defaults);
    if (failed == 0) failed = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  }
  std::vector<std::string> argv{options.hostPath};
  argv.insert(argv.end(), options.hostArguments.begin(), options.hostArguments.end());
  std::vector<std::string> environment = hostEnvironment(socketPath);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> environmentPointers = pointers(environment);
  pid_t pid = -1;
  if (failed == 0) {
    failed = ::posix_spawn(&pid, options.hostPath.c_str(), &actions, &attributes,
                           argvPointers.data(), environmentPointers.data());
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  if (failed != 0) {
    error = "cannot start " + options.hostPath + ": " + std::strerror(failed);
    ::close(in[1]);
    ::close(out[0]);
    return std::nullopt;
  }
  return Host{.pid = pid, .input = in[1], .output = out[0]};
}

bool installSignalHandlers() {
  struct sigaction previous {};
  if (::sigaction(SIGPIPE, nullptr, &previous) != 0) return false;
  sigpipeWasIgnored = previous.sa_handler == SIG_IGN;
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return false;
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(number, nullptr, &previous) != 0) return false;
    if (previous.sa_handler == SIG_IGN) continue;  // the host inherits that
    struct sigaction handler {};
    handler.sa_handler = passOn;
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = SA_RESTART;
    if (::sigaction(number, &handler, nullptr) != 0) return false;
  }
  return true;
}

std::string endText(int status) {
  if (WIFEXITED(status)) return "host exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "host was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "host ended";
}

// Ends the tap the way the host ended.
[[noreturn]] void endAs(int status) {
  if (WIFSIGNALED(status)) {
    int number = WTERMSIG(status);
    ::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(number);
    std::_Exit(128 + number);
  }
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : kExitFailure);
}

// Without a log, the host runs in the tap's place, as if the tap were not
// there: a trace must never cost the user the host.
[[noreturn]] void runHostUnwatched(const TapOptions& options, const std::string& problem) {
  std::cerr << "ostrel-native-host-tap: " << problem << "; running the host without the tap\n";
  std::vector<std::string> argv{options.hostPath};
  argv.insert(argv.end(), options.hostArguments.begin(), options.hostArguments.end());
  std::vector<char*> argvPointers = pointers(argv);
  ::execv(options.hostPath.c_str(), argvPointers.data());
  std::cerr << "ostrel-native-host-tap: cannot start " << options.hostPath << ": "
            << std::strerror(errno) << "\n";
  std::_Exit(kExitFailure);
}

int run(const TapOptions& options) {
  common::OpenedLog opened = common::openLog(options.logPath);
  if (!opened.problem.empty()) runHostUnwatched(options, opened.problem);
  // Never destroyed: connection threads may use it until the process ends.
  auto* log = new TapLog(opened.fd.release());
  if (!installSignalHandlers()) {
    log->event(std::string("cannot set up signal handling: ") + std::strerror(errno));
    log->stop();
    return kExitFailure;
  }
  const std::string appSocket = settleSettings().socketPath;
  auto* sockets = new SocketTap(appSocket, *log);
  if (std::optional<std::string> problem = sockets->start()) {
    log->event(*problem);
    log->stop();
    return kExitFailure;
  }
  std::string error;
  std::optional<Host> host = startHost(options, sockets->hostSocketPath(), error);
  if (!host) {
    log->event(error);
    sockets->stop();
    log->stop();
    return kExitFailure;
  }
  hostPid = host->pid;
  log->event("host started (pid " + std::to_string(host->pid) + "): " + shownCommand(options));
  log->event("application socket " + appSocket + ", offered to the host as " +
             sockets->hostSocketPath());
  sockets->acceptConnections();

  int wake[2];
  if (!openPipe(wake)) {
    log->event(std::string("cannot make a pipe: ") + std::strerror(errno));
    ::kill(host->pid, SIGTERM);
    log->stop();
    return kExitFailure;
  }
  std::thread([input = host->input, log, sockets] {
    InputWatcher watcher(*sockets);
    PumpResult result = pump(0, input, Direction::kBrowserToHost, *log, -1, &watcher);
    if (result.end == PumpEnd::kEndOfInput) log->event("the browser closed the host's input");
    ::close(input);
  }).detach();
  std::thread output([&] {
    OutputWatcher watcher(*sockets);
    pump(host->output, 1, Direction::kHostToBrowser, *log, wake[0], &watcher);
  });

  int status = 0;
  while (::waitpid(host->pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = 0;
      break;
    }
  }
  hostPid = -1;
  // What the host wrote before it ended is in the pipe; a process it
  // started may hold the pipe open, so the end of it is not waited for.
  char byte = 'e';
  while (::write(wake[1], &byte, 1) < 0 && errno == EINTR) {
  }
  output.join();
  // What the exit caused (the connections' ends) is logged before it.
  sockets->awaitConnectionsEnded(std::chrono::seconds(1));
  log->event(endText(status));
  sockets->stop();
  log->stop();
  endAs(status);
}

}  // namespace
}  // namespace ostrel::tap

int main(int argc, char** argv) {
  for (int at = 1; at < argc && std::string_view(argv[at]) != "--"; ++at) {
    std::string_view word = argv[at];
    if (word == "--help") {
      std::cout << ostrel::tap::kUsage;
      return 0;
    }
    if (word == "--version") {
      std::cout << "ostrel-native-host-tap " << OSTREL_VERSION << "\n";
      return 0;
    }
    if (word == "--log" || word == "--host") ++at;
  }
  std::string error;
  std::optional<ostrel::tap::TapOptions> options = ostrel::tap::parse(argc, argv, error);
  if (!options) {
    std::cerr << "ostrel-native-host-tap: " << error << "\n" << ostrel::tap::kUsage;
    return ostrel::tap::kExitUsage;
  }
  return ostrel::tap::run(*options);
}
