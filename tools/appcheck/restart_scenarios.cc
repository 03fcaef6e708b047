// The scenarios about the application's start and end: listening at all, a
// second instance, SIGTERM, a socket replaced meanwhile, a crash, and the
// replay a returning host makes.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ostrel/app.h"
#include "own_connection.h"
#include "scenarios.h"
#include "socket_files.h"
#include "tools/common/paths.h"
#include "tools/common/stream_io.h"

namespace ostrel::appcheck {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kFocus = R"({"type":"focus","from":"ostrel-app-check"})";

// The host tries again every 2 s, up to half a second late.
constexpr milliseconds kHostRetry{2500};

constexpr const char* kOneInstance =
    "before removing a socket file, connect to it, and remove it only when the connection is "
    "refused; better, hold a lock for as long as you listen (ostrel_app_listen() does both, "
    "with a lock on PATH.lock)";

constexpr const char* kOnlyYourOwn =
    "remove only the socket file you bound, and only while it is still yours (compare the device "
    "and inode seen after bind(); in Node.js, server.close() removes whatever is at the path: "
    "end without it)";

}  // namespace

Outcome AppChecker::listening() {
  const std::string name = "listening";
  Outcome stop{name, Verdict::kFail, "", true};
  if (!ostrel_app_socket_path_usable(options_.socketPath.c_str())) {
    stop.seen = "the host never connects to " + options_.socketPath + ": it is " +
                std::to_string(options_.socketPath.size()) +
                " bytes long, and the host takes paths of 1 to " +
                std::to_string(OSTREL_APP_MAX_SOCKET_PATH) + " bytes";
    return stop;
  }
  if (scratch_.path().empty()) {
    stop.seen = "cannot make a temporary folder";
    return stop;
  }
  std::string why;
  if (app_) {
    if (!startApp(why)) {
      stop.seen = "the application did not start listening: " + why + app_->lastLines();
      return stop;
    }
    return {name, Verdict::kPass, "the application started and listens on " + options_.socketPath};
  }
  if (!socketAt(options_.socketPath)) {
    stop.seen = "there is no socket at " + options_.socketPath +
                ": start the application, or give the command that starts it";
  } else if (!reachable(why)) {
    stop.seen = "a socket file is at " + options_.socketPath +
                ", but nothing accepts connections on it (" + why +
                "): the application is not running, or this is the socket file it left behind "
                "when it ended; start it, or give the command that starts it";
  } else {
    return {name, Verdict::kPass, "an application accepts connections at " + options_.socketPath};
  }
  return stop;
}

// After a scenario that left the application stopped, or another's socket
// at the path: whatever socket file is left there and accepts nothing is
// removed, and the application is started again. An outcome that stops the
// run when that fails.
std::optional<Outcome> AppChecker::restore(const std::string& name, Outcome outcome) {
  app_->stop(options_.timeout);
  std::string why;
  if (socketAt(options_.socketPath) && !reachable(why)) ::unlink(options_.socketPath.c_str());
  if (startApp(why)) return std::nullopt;
  outcome.seen += (outcome.verdict == Verdict::kPass ? "; but " : "; then ") +
                  std::string("the application did not start again: ") + why + app_->lastLines();
  outcome.verdict = Verdict::kFail;
  outcome.stopsTheRun = true;
  outcome.scenario = name;
  return outcome;
}

// A second instance started while the first listens must leave the first's
// socket alone, whether it ends at once (as it should, saying why) or runs
// on until SIGTERM.
Outcome AppChecker::secondInstance() {
  const std::string name = "second-instance";
  if (!app_) {
    return skipWithoutCommand(name, "that a second instance leaves the first's socket alone");
  }
  const std::optional<SocketIdentity> first = socketAt(options_.socketPath);
  AppProcess second(loop_, options_.command, options_.socketPath);
  std::string why;
  if (!second.start(why)) return fail(name, "cannot start a second instance: " + why);
  waitFor([&] { return second.ended() || socketAt(options_.socketPath) != first; },
          options_.timeout);
  // One that removed the file may be about to bind its own.
  if (first && !socketAt(options_.socketPath)) {
    waitFor([&] { return second.ended() || socketAt(options_.socketPath); }, options_.timeout);
  }
  const std::optional<std::string> ended = second.ended();
  Outcome outcome{name, Verdict::kPass, ""};
  if (const std::optional<SocketIdentity> now = socketAt(options_.socketPath); now != first) {
    outcome = fail(name, std::string("a second instance, started while the first listened, ") +
                             (now ? "replaced the first's socket file with its own"
                                  : "removed the first's socket file") +
                             ", and the first runs on, unreachable: " + kOneInstance);
  } else {
    second.stop(options_.timeout);
    if (socketAt(options_.socketPath) != first) {
      outcome = fail(name,
                     "a second instance that did not listen removed the first's socket file when "
                     "it ended on SIGTERM: " +
                         std::string(kOnlyYourOwn));
    } else if (!reachable(why)) {
      outcome = fail(
          name, "after a second instance, the first no longer accepts connections (" + why + ")");
    } else if (ended) {
      const std::string said = second.lastLine();
      outcome.seen =
          "a second instance, started while the first listened, left its socket alone "
          "and ended: " +
          *ended + (said.empty() ? "" : ", saying: " + said);
    } else {
      outcome.seen =
          "a second instance, started while the first listened, left its socket alone "
          "and ran on without listening until SIGTERM ended it";
    }
  }
  second.stop(options_.timeout);
  if (outcome.verdict == Verdict::kFail) {
    if (std::optional<Outcome> stopped = restore(name, outcome)) return *stopped;
  }
  return outcome;
}

Outcome AppChecker::sigterm() {
  const std::string name = "sigterm";
  if (!app_) {
    return skipWithoutCommand(name, "that the application ends on SIGTERM, removing its socket");
  }
  Outcome outcome{name, Verdict::kPass, ""};
  if (!app_->stop(options_.timeout)) {
    outcome = fail(name, "the application did not end within " + seconds() +
                             " of SIGTERM (it was killed): end on SIGTERM, which the end of a "
                             "session sends, removing the socket file");
  } else if (socketAt(options_.socketPath)) {
    outcome = fail(name, "the application ended on SIGTERM (" + app_->ended().value_or("") +
                             ") but left its socket file " + options_.socketPath +
                             " behind: remove it when you stop, while it is still yours "
                             "(compare the device and inode seen after bind(); "
                             "ostrel_app_listener_close() does)");
  } else {
    outcome.seen = "the application ended on SIGTERM (" + app_->ended().value_or("") +
                   ") and removed its socket file";
  }
  if (std::optional<Outcome> stopped = restore(name, outcome)) return *stopped;
  return outcome;
}

// While the application runs, a socket of the checker's own takes the
// path's place, as another instance's would; the application, ending, must
// leave it there.
Outcome AppChecker::replaced() {
  const std::string name = "replaced";
  if (!app_) {
    return skipWithoutCommand(name,
                              "that the application, ending, leaves alone a socket file that "
                              "took its own's place");
  }
  const std::string stand = common::parentFolder(absolutePath_) + "/.ostrel-check";
  std::string why;
  const int own = listenAt(stand, why);
  if (own < 0) return {name, Verdict::kSkip, "cannot put a socket in the socket's folder: " + why};
  Outcome outcome{name, Verdict::kPass,
                  "the application, ending on SIGTERM, left alone the socket file that another "
                  "program had put in place of its own"};
  std::optional<SocketIdentity> others;
  if (::rename(stand.c_str(), options_.socketPath.c_str()) != 0) {
    outcome = {
        name, Verdict::kSkip,
        "cannot put a socket in place of the application's: " + std::string(std::strerror(errno))};
  } else {
    others = socketAt(options_.socketPath);
    app_->stop(options_.timeout);
    if (socketAt(options_.socketPath) != others) {
      outcome =
          fail(name, "the application, ending on SIGTERM, removed the socket file at " +
                         options_.socketPath +
                         " that another program had put in place of its own: " + kOnlyYourOwn);
    }
  }
  ::close(own);
  if (others && socketAt(options_.socketPath) == others) ::unlink(options_.socketPath.c_str());
  ::unlink(stand.c_str());
  if (std::optional<Outcome> stopped = restore(name, outcome)) return *stopped;
  return outcome;
}

Outcome AppChecker::crash() {
  const std::string name = "crash";
  if (!app_) {
    return skipWithoutCommand(name, "that the application starts over the socket a crash left");
  }
  app_->crash();
  const bool left = socketAt(options_.socketPath).has_value();
  std::string why;
  if (startApp(why)) {
    return {name, Verdict::kPass,
            std::string("killed as by a crash (SIGKILL), the application started again") +
                (left ? " over the socket file it had left" : "")};
  }
  Outcome outcome =
      fail(name, "killed as by a crash (SIGKILL), the application did not start again" +
                     std::string(left ? " over the socket file it had left (a socket file on "
                                        "which a connection is refused is stale: remove it, then "
                                        "bind; ostrel_app_listen() does)"
                                      : "") +
                     ": " + why + app_->lastLines());
  if (std::optional<Outcome> stopped = restore(name, outcome)) return *stopped;
  return outcome;
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
  bool gated = host && awaitReport(*host, 0, "connected", options_.timeout, why);
  if (gated) {
    fd = ostrel_app_accept(gate.fd, static_cast<int>(options_.timeout.count()));
    host->send(cached);
    gated = fd >= 0 && waitFor([&] { return host->allTaken(); }, options_.timeout) &&
            common::readBytes(fd, cached.size(), options_.timeout).has_value();
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
  if (!awaitReport(*host, 1, "unavailable", options_.timeout, why) ||
      !awaitReport(*host, 2, "connected", options_.timeout + kHostRetry, why)) {
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

}  // namespace ostrel::appcheck
