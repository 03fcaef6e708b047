#include "scenarios.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ostrel/app.h"
#include "raw_peer.h"
#include "socket_files.h"
#include "tools/common/stream_io.h"

namespace ostrel::appcheck {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kFocus = R"({"type":"focus","from":"ostrel-app-check"})";

// The host tries again every 2 s, up to half a second late.
constexpr milliseconds kHostRetry{2500};

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

// What goes after a scenario's own messages to show that the application
// reads on: 3 MiB, well more than the host's input pipe and its socket's
// buffer hold together (a host may size that buffer to take a whole 1 MiB
// frame at once), so the host takes it all only when the application has
// read everything before it. Frames of 16 KiB, so that no application
// limit below 1 MiB trips.
constexpr std::size_t kFillerFrames = 192;
constexpr std::size_t kFillerFrameBytes = 16 * kKiB;

// A JSON message of exactly `size` bytes (at least 64).
std::string messageOfSize(const std::string& name, std::size_t size) {
  const std::string head = R"({"type":"ostrel-app-check",")" + name + R"(":")";
  const std::string tail = R"("})";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

std::string scenarioMessage(const std::string& name) {
  return R"({"type":"ostrel-app-check","scenario":")" + name + R"("})";
}

Bytes concat(std::initializer_list<Bytes> pieces) {
  Bytes all;
  for (const Bytes& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

std::string amount(std::size_t bytes) {
  char text[32];
  if (bytes >= kMiB) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / kMiB);
  } else if (bytes >= kKiB) {
    std::snprintf(text, sizeof text, "%zu KiB", bytes / kKiB);
  } else {
    std::snprintf(text, sizeof text, "%zu bytes", bytes);
  }
  return text;
}

// Tells one socket file from another at the same path: an inode number
// may be given again at once to the next file made.
struct FileIdentity {
  ino_t inode = 0;
  long long changedSeconds = 0;
  long changedNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

bool isSocket(const std::string& path, FileIdentity* identity = nullptr) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
#if defined(__APPLE__)
  const timespec changed = status.st_ctimespec;
#else
  const timespec changed = status.st_ctim;
#endif
  if (identity != nullptr) *identity = {status.st_ino, changed.tv_sec, changed.tv_nsec};
  return true;
}

std::string absolute(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::vector<char> folder(4096);
  if (::getcwd(folder.data(), folder.size()) == nullptr) return path;
  return std::string(folder.data()) + "/" + path;
}

Outcome fail(const std::string& name, const std::string& why) {
  return {name, Verdict::kFail, why};
}

// What the application sent to `hosts`, for a report.
std::string cameBack(std::initializer_list<const CheckedHost*> hosts) {
  std::size_t frames = 0;
  std::uint64_t bytes = 0;
  std::string first;
  for (const CheckedHost* host : hosts) {
    if (host->appFrames() > 0 && first.empty()) first = host->firstAppFrame();
    frames += host->appFrames();
    bytes += host->appBytes();
  }
  if (frames == 0) return "it sent nothing back";
  return "it sent back " + std::to_string(frames) + (frames == 1 ? " frame" : " frames") + " (" +
         amount(bytes) + "), the first: " + first;
}

}  // namespace

AppChecker::AppChecker(CheckOptions options, std::string host)
    : options_(std::move(options)),
      host_(std::move(host)),
      absolutePath_(absolute(options_.socketPath)),
      helloFrame_(common::frameOf(options_.hello)) {
  const Bytes one = common::frameOf(messageOfSize("filler", kFillerFrameBytes));
  for (std::size_t i = 0; i < kFillerFrames; ++i) {
    filler_.insert(filler_.end(), one.begin(), one.end());
  }
  if (!options_.command.empty()) {
    app_ = std::make_unique<AppProcess>(loop_, options_.command, options_.socketPath);
  }
}

AppChecker::~AppChecker() {
  if (app_) app_->stop(options_.timeout);
}

std::string AppChecker::seconds(milliseconds extra) const {
  char text[32];
  std::snprintf(text, sizeof text, "%g s",
                static_cast<double>((options_.timeout + extra).count()) / 1000);
  return text;
}

// How long the host may take for what is its own doing (starting, telling
// the browser, connecting): long, since only a machine under heavy load
// makes it wait, and what the application does is timed by --timeout.
milliseconds AppChecker::hostPatience() const {
  return std::max(options_.timeout, milliseconds(30000));
}

bool AppChecker::run(const std::function<void(const Outcome&)>& report) {
  const Outcome first = listening();
  report(first);
  if (first.verdict != Verdict::kPass) return false;
  // Those that may end an application come last.
  const std::string cut =
      std::string("\xe8\x03\x00\x00", 4) + messageOfSize("cut", 1000).substr(0, 100);
  const std::vector<std::function<Outcome()>> scenarios = {
      [this] { return socketFiles(); },
      [this] { return replay(); },
      [this] { return noReplay(); },
      [this] { return largeMessage(); },
      [this] { return sideBySide(); },
      [this] { return writesFirst(); },
      [this] { return otherUser(); },
      [this] { return afterConnection("probe", "", "a connection that sent nothing and closed"); },
      [this, &cut] {
        return afterConnection("mid-frame", cut,
                               "a connection that ended 100 bytes into a frame of 1000");
      },
  };
  bool passed = true;
  for (const std::function<Outcome()>& scenario : scenarios) {
    Outcome outcome = scenario();
    std::string why;
    const std::optional<std::string> how = app_ ? app_->ended() : std::nullopt;
    if (how) {
      outcome.verdict = Verdict::kFail;
      if (outcome.seen.find(*how) == std::string::npos) {
        outcome.seen += "; the application ended: " + *how;
      }
      outcome.seen += app_->lastLines();
    }
    passed = passed && outcome.verdict != Verdict::kFail;
    report(outcome);
    if (how && !restartApp(why)) {
      report(fail("restart",
                  "the application could not be started again: " + why + app_->lastLines()));
      return false;
    }
  }
  return passed;
}

// ---------------------------------------------------------------------------
// Helpers

bool AppChecker::startApp(std::string& why) {
  FileIdentity before;
  const bool existed = isSocket(options_.socketPath, &before);
  if (!app_->start(why)) return false;
  // Listening shows as a socket file new since the start: one left behind
  // by an earlier run does not count.
  FileIdentity now;
  const bool listening = loop_.runUntil(
      [&] {
        return app_->ended() ||
               (isSocket(options_.socketPath, &now) && (!existed || now != before));
      },
      options_.timeout);
  if (const std::optional<std::string> how = app_->ended()) {
    why = *how;
    return false;
  }
  if (!listening) {
    why = "no socket appeared at " + options_.socketPath + " within " + seconds();
    return false;
  }
  return true;
}

// After a scenario ended the application: starts it again, removing the
// socket it left behind when it cannot start over it, so that the next
// scenarios can run.
bool AppChecker::restartApp(std::string& why) {
  if (startApp(why)) return true;
  std::string ignored;
  const int fd = connectTo(options_.socketPath, ignored);
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (fd >= 0 || error != ECONNREFUSED || ::unlink(options_.socketPath.c_str()) != 0) return false;
  return startApp(why);
}

AppChecker::Host AppChecker::startHost(const std::string& path, std::string& why) {
  auto host = std::make_unique<CheckedHost>(loop_, host_, path);
  if (!host->startError().empty()) {
    why = "cannot start the host: " + host->startError();
    return nullptr;
  }
  return host;
}

bool AppChecker::awaitReport(CheckedHost& host, std::size_t index, const char* app,
                             milliseconds timeout, std::string& why) {
  if (loop_.runUntil([&] { return host.statuses().size() > index; }, timeout) &&
      host.reported(index, app)) {
    return true;
  }
  why =
      host.statuses().size() > index
          ? std::string("the host reported \"") + host.statuses()[index] + "\", not \"" + app + "\""
          : std::string("the host did not report \"") + app + "\" within " +
                std::to_string(timeout.count() / 1000) + " s";
  if (const std::string wrong = host.misbehaviour(); !wrong.empty()) why += "; " + wrong;
  return false;
}

// A host on the socket itself, which it reaches at once.
AppChecker::Host AppChecker::connectedHost(std::string& why) {
  Host host = startHost(options_.socketPath, why);
  if (host && !awaitReport(*host, 0, "connected", hostPatience(), why)) {
    if (host->reported(0, "unavailable")) {
      why = "the host could not connect to " + options_.socketPath +
            " (it reported \"unavailable\"): the application does not accept connections there, "
            "or runs as another user";
    }
    host.reset();
  }
  return host;
}

// Sends `lead` and then the filler, and waits until the host has taken all
// of it: the application then has read `lead` whole, and kept the
// connection, which the host reported at status number `connectedAt`.
bool AppChecker::keptAndRead(CheckedHost& host, std::size_t connectedAt, const Bytes& lead,
                             std::string& why) {
  const std::size_t start = host.taken();
  host.send(lead);
  host.send(filler_);
  const std::size_t total = host.queuedBytes() - start;
  loop_.runUntil([&] { return host.allTaken() || host.droppedAfter(connectedAt); },
                 options_.timeout);
  const std::size_t through = host.taken() - start;
  if (host.droppedAfter(connectedAt)) {
    why = "the application closed the connection (the host reported \"unavailable\") after " +
          amount(through) + " of " + amount(total) + " had gone to the host";
    return false;
  }
  if (!host.allTaken()) {
    why = "the application stopped reading: of " + amount(total) + " sent, " + amount(through) +
          " went through in " + seconds();
    return false;
  }
  return true;
}

// Ends the host as a browser does; false, with why, when the application
// closed the connection before it ended or the host misbehaved.
bool AppChecker::endHost(Host& host, std::size_t connectedAt, std::string& why) {
  host->finish(hostPatience());
  const bool dropped = host->droppedAfter(connectedAt);
  const std::string wrong = host->misbehaviour();
  if (dropped) why = "the application closed the connection (the host reported \"unavailable\")";
  if (!wrong.empty()) why += (why.empty() ? "" : "; ") + wrong;
  return !dropped && wrong.empty();
}

// ---------------------------------------------------------------------------
// The scenarios

Outcome AppChecker::listening() {
  const std::string name = "listening";
  if (!ostrel_app_socket_path_usable(options_.socketPath.c_str())) {
    return fail(name, "the host never connects to " + options_.socketPath + ": it is " +
                          std::to_string(options_.socketPath.size()) +
                          " bytes long, and the host takes paths of 1 to " +
                          std::to_string(OSTREL_APP_MAX_SOCKET_PATH) + " bytes");
  }
  if (scratch_.path().empty()) return fail(name, "cannot make a temporary folder");
  if (app_) {
    std::string why;
    if (!startApp(why)) {
      return fail(name, "the application did not start listening: " + why + app_->lastLines());
    }
    return {name, Verdict::kPass, "the application started and listens on " + options_.socketPath};
  }
  if (!isSocket(options_.socketPath)) {
    return fail(name, "there is no socket at " + options_.socketPath +
                          ": start the application, or give the command that starts it");
  }
  return {name, Verdict::kPass, "a socket is at " + options_.socketPath};
}

Outcome AppChecker::socketFiles() const {
  const SocketFilesVerdict verdict = judgeSocketFiles(options_.socketPath, ::geteuid());
  return {"socket", verdict.pass ? Verdict::kPass : Verdict::kFail, verdict.seen};
}

// The host first reaches a gate of the checker's own, through a link; once
// the gate has seen "hello" and "focus" arrive (the host has cached them),
// the application is restarted when the checker runs it, the link is
// turned to the application and the gate closed: the host's retry reaches
// the application as a returning one, and replays them first.
Outcome AppChecker::replay() {
  const std::string name = "replay";
  const std::string link = scratch_.file("replay.sock");
  ostrel_app_listener gate;
  char reason[256] = "";
  if (ostrel_app_listen(&gate, scratch_.file("gate.sock").c_str(), reason, sizeof reason) != 0 ||
      ::symlink("gate.sock", link.c_str()) != 0) {
    ostrel_app_listener_close(&gate);
    return fail(name, std::string("cannot set up the checker's own socket: ") + reason);
  }
  std::string why;
  Host host = startHost(link, why);
  int fd = -1;
  const Bytes cached = concat({helloFrame_, common::frameOf(kFocus)});
  bool gated = host && awaitReport(*host, 0, "connected", hostPatience(), why);
  if (gated) {
    fd = ostrel_app_accept(gate.fd, static_cast<int>(hostPatience().count()));
    host->send(cached);
    gated = fd >= 0 && loop_.runUntil([&] { return host->allTaken(); }, hostPatience()) &&
            common::readBytes(fd, cached.size(), hostPatience()).has_value();
    if (!gated) why = "the checker's own socket did not get the host's messages";
  }
  std::string restarted;
  if (gated && app_) {
    restarted = ", stopped with SIGTERM and started again,";
    if (!app_->stop(options_.timeout)) {
      why = "the application did not end within " + seconds() + " of SIGTERM";
    } else if (!startApp(why)) {
      why = "the application did not start again: " + why;
    }
  }
  const std::string turned = scratch_.file("turned.sock");
  const bool linked = gated && why.empty() &&
                      ::symlink(absolutePath_.c_str(), turned.c_str()) == 0 &&
                      ::rename(turned.c_str(), link.c_str()) == 0;
  if (fd >= 0) ::close(fd);
  ostrel_app_listener_close(&gate);
  if (!gated) return fail(name, "while setting up: " + why);
  if (!why.empty()) return fail(name, why);
  if (!linked) return fail(name, std::string("cannot link to the socket: ") + std::strerror(errno));
  if (!awaitReport(*host, 1, "unavailable", hostPatience(), why) ||
      !awaitReport(*host, 2, "connected", hostPatience() + kHostRetry, why)) {
    return fail(name, "when the host came back to the application: " + why);
  }
  if (!keptAndRead(*host, 2, {}, why) || !endHost(host, 2, why)) {
    return fail(name, R"(after the replay of "hello" and "focus": )" + why);
  }
  return {name, Verdict::kPass,
          "the application" + restarted +
              " kept the connection of a returning host that had sent "
              "\"hello\" and \"focus\", on which they came first, and read on; " +
              cameBack({host.get()})};
}

// The host starts while nothing is at the path it has; the path then leads
// to the application, and a browser message makes the connection.
Outcome AppChecker::noReplay() {
  const std::string name = "no-replay";
  const std::string link = scratch_.file("late.sock");
  std::string why;
  Host host = startHost(link, why);
  if (!host || !awaitReport(*host, 0, "unavailable", hostPatience(), why)) {
    return fail(name, "while setting up: " + why);
  }
  if (::symlink(absolutePath_.c_str(), link.c_str()) != 0) {
    return fail(name, std::string("cannot link to the socket: ") + std::strerror(errno));
  }
  host->sendFrame(scenarioMessage(name));
  if (!awaitReport(*host, 1, "connected", hostPatience() + kHostRetry, why) ||
      !keptAndRead(*host, 1, {}, why) || !endHost(host, 1, why)) {
    return fail(name, "on a connection whose first message was " + scenarioMessage(name) +
                          ", not \"hello\": " + why);
  }
  return {name, Verdict::kPass,
          "a connection whose first message was not \"hello\" was kept and read; " +
              cameBack({host.get()})};
}

Outcome AppChecker::largeMessage() {
  const std::string name = "1mib";
  std::string why;
  Host host = connectedHost(why);
  if (!host) return fail(name, why);
  const Bytes lead =
      concat({helloFrame_, common::frameOf(messageOfSize("data", OSTREL_APP_MAX_PAYLOAD))});
  if (!keptAndRead(*host, 0, lead, why) || !endHost(host, 0, why)) {
    return fail(name, "after \"hello\" and a message of exactly 1048576 bytes: " + why);
  }
  return {name, Verdict::kPass,
          "a message of exactly 1048576 bytes was read whole, the connection kept; " +
              cameBack({host.get()})};
}

Outcome AppChecker::sideBySide() {
  const std::string name = "side-by-side";
  std::string why;
  Host first = connectedHost(why);
  if (!first) return fail(name, "the first host: " + why);
  Host second = connectedHost(why);
  if (!second) return fail(name, "the second host, while the first was connected: " + why);
  // Each is served while the other stays connected and says nothing.
  if (!keptAndRead(*second, 0, helloFrame_, why)) {
    return fail(name, "the second host, while the first was connected: " + why);
  }
  if (!keptAndRead(*first, 0, helloFrame_, why)) {
    return fail(name, "the first host, while the second was connected: " + why);
  }
  if (!endHost(first, 0, why) || !endHost(second, 0, why)) return fail(name, why);
  return {name, Verdict::kPass,
          "two hosts connected at once were both served, each while the other waited; " +
              cameBack({first.get(), second.get()})};
}

Outcome AppChecker::writesFirst() {
  const std::string name = "writes-first";
  std::string why;
  Host host = connectedHost(why);
  if (!host) return fail(name, why);
  const Bytes request = options_.request ? common::frameOf(*options_.request) : Bytes{};
  const Bytes lead =
      concat({helloFrame_, request, common::frameOf(messageOfSize("data", 512 * kKiB))});
  if (!keptAndRead(*host, 0, lead, why)) {
    return fail(name, "while the host wrote 512 KiB after --request: " + why);
  }
  if (options_.request &&
      !loop_.runUntil([&] { return host->appFrames() > 0 || host->droppedAfter(0); },
                      options_.timeout)) {
    return fail(name, "no answer to " + *options_.request + " came back whole within " + seconds() +
                          " (an answer cut short never ends)");
  }
  if (!endHost(host, 0, why)) return fail(name, why);
  if (!options_.request) {
    return {name, Verdict::kPass,
            "the application read 512 KiB and more; give --request MESSAGE to have it write "
            "meanwhile; " +
                cameBack({host.get()})};
  }
  return {name, Verdict::kPass,
          "the application answered while the host wrote 512 KiB and more, and read it all; " +
              cameBack({host.get()})};
}

Outcome AppChecker::otherUser() {
  const std::string name = "other-user";
  if (::geteuid() != 0) {
    return {name, Verdict::kSkip, "run as root to check that another user's process is refused"};
  }
  std::vector<char> scratch(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(options_.otherUser.c_str(), &entry, scratch.data(), scratch.size(), &found) !=
          0 ||
      found == nullptr) {
    return {name, Verdict::kSkip,
            "there is no user " + options_.otherUser + "; name one with --other-user"};
  }
  struct stat socket {};
  if (::stat(options_.socketPath.c_str(), &socket) == 0 && socket.st_uid == found->pw_uid) {
    return {name, Verdict::kSkip,
            "the application runs as " + options_.otherUser + "; name another with --other-user"};
  }
  const OtherUserTry tried =
      tryAsOtherUser(loop_, options_.socketPath, found->pw_uid, found->pw_gid,
                     common::asText(helloFrame_), options_.timeout);
  const std::string who = "a process of " + options_.otherUser + " (" + tried.detail + ")";
  switch (tried.kind) {
    case OtherUserTry::kRefused:
      return {name, Verdict::kPass, who + ": refused"};
    case OtherUserTry::kUnreachable:
      return {name, Verdict::kPass,
              who +
                  ": the file system keeps other users away from the socket (the "
                  "application's own check could not be tried on this system)"};
    case OtherUserTry::kNotTried:
      return {name, Verdict::kSkip, who};
    default:
      return fail(name, who +
                            ": an application must close a connection from another user's "
                            "process at once, unanswered");
  }
}

// After a connection of the checker's own that writes `bytes` and closes,
// a host must be served.
Outcome AppChecker::afterConnection(const std::string& name, const std::string& bytes,
                                    const std::string& what) {
  std::string why;
  if (!connectWriteClose(options_.socketPath, bytes, why)) return fail(name, why);
  Host host = connectedHost(why);
  if (!host || !keptAndRead(*host, 0, helloFrame_, why) || !endHost(host, 0, why)) {
    return fail(name, "after " + what + ", a host: " + why);
  }
  return {name, Verdict::kPass, "after " + what + ", a host was served; " + cameBack({host.get()})};
}

}  // namespace ostrel::appcheck
