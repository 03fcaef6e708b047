#include "scenarios.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "own_connection.h"
#include "socket_files.h"
#include "tools/common/stream_io.h"
#include "tools/common/trusted_path.h"

namespace ostrel::appcheck {
namespace {

using std::chrono::milliseconds;

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

// How long a failure waits for an application that may be ending.
constexpr milliseconds kSettling{1000};

}  // namespace

std::string messageOfSize(const std::string& type, const std::string& name, std::size_t size) {
  const std::string head = R"({"type":")" + type + R"(",")" + name + R"(":")";
  const std::string tail = R"("})";
  return head + std::string(size - head.size() - tail.size(), name[0]) + tail;
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

AppChecker::AppChecker(CheckOptions options, std::string host)
    : options_(std::move(options)),
      host_(std::move(host)),
      absolutePath_(common::absolutePath(options_.socketPath)),
      helloFrame_(common::frameOf(options_.hello)) {
  const Bytes one = common::frameOf(messageOfSize("ostrel-app-check", "filler", kFillerFrameBytes));
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

bool AppChecker::run(const std::function<void(const Outcome&)>& report,
                     std::vector<std::string>& notRun) {
  // In this order: those that may end an application come last.
  static constexpr struct {
    const char* name;
    Outcome (AppChecker::*run)();
  } kScenarios[] = {
      {"listening", &AppChecker::listening},
      {"socket", &AppChecker::socketFiles},
      {"frames", &AppChecker::frames},
      {"second-instance", &AppChecker::secondInstance},
      {"sigterm", &AppChecker::sigterm},
      {"replaced", &AppChecker::replaced},
      {"crash", &AppChecker::crash},
      {"replay", &AppChecker::replay},
      {"no-replay", &AppChecker::noReplay},
      {"1mib", &AppChecker::largeMessage},
      {"side-by-side", &AppChecker::sideBySide},
      {"writes-first", &AppChecker::writesFirst},
      {"two-hellos", &AppChecker::twoHellos},
      {"stalled-host", &AppChecker::stalledHost},
      {"other-user", &AppChecker::otherUser},
      {"probe", &AppChecker::probe},
      {"mid-frame", &AppChecker::midFrame},
  };
  bool passed = true;
  for (std::size_t i = 0; i < std::size(kScenarios); ++i) {
    Outcome outcome = (this->*kScenarios[i].run)();
    // A failure may be an application on its way out (exit handlers, a
    // sanitizer's report): its end, when it comes soon, is what happened.
    if (outcome.verdict == Verdict::kFail && app_) {
      loop_.runUntil([this] { return app_->ended().has_value(); }, kSettling);
    }
    if (const std::optional<std::string> how = died()) {
      outcome.verdict = Verdict::kFail;
      if (outcome.seen.find(*how) == std::string::npos) {
        outcome.seen = "the application ended: " + *how + "; at the time: " + outcome.seen;
      }
      if (outcome.seen.find(app_->lastLines()) == std::string::npos) {
        outcome.seen += app_->lastLines();
      }
      outcome.stopsTheRun = true;
    } else if (outcome.verdict == Verdict::kFail && !app_ && i > 0) {
      std::string why;
      if (!reachable(why)) {
        if (outcome.seen.find(why) == std::string::npos) outcome.seen += "; " + why;
        outcome.seen +=
            ": the application no longer accepts connections; it has ended, or "
            "stopped listening";
        outcome.stopsTheRun = true;
      }
    }
    passed = passed && outcome.verdict != Verdict::kFail;
    report(outcome);
    if (outcome.stopsTheRun) {
      for (std::size_t later = i + 1; later < std::size(kScenarios); ++later) {
        notRun.emplace_back(kScenarios[later].name);
      }
      return false;
    }
  }
  return passed;
}

// ---------------------------------------------------------------------------
// Shared by the scenarios

Outcome AppChecker::fail(const std::string& name, const std::string& why) {
  return {name, Verdict::kFail, why};
}

Outcome AppChecker::skipWithoutCommand(const std::string& name, const std::string& what) {
  return {name, Verdict::kSkip,
          "give the command that starts the application (after the options) to check " + what};
}

bool AppChecker::waitFor(const std::function<bool()>& done, milliseconds timeout) {
  loop_.runUntil([&] { return done() || died().has_value(); }, timeout);
  return !died() && done();
}

std::optional<std::string> AppChecker::died() { return app_ ? app_->endedUnasked() : std::nullopt; }

// A connection that says "hello" and closes, where a frame ends: short, but
// nothing an application may take amiss.
bool AppChecker::reachable(std::string& why) {
  const int fd = connectTo(options_.socketPath, why);
  if (fd >= 0) {
    (void)common::writeBytes(fd, helloFrame_, options_.timeout);
    ::close(fd);
  }
  return fd >= 0;
}

// Listening shows as a socket file new since the start (one left behind by
// an earlier run does not count) on which a connection is accepted.
bool AppChecker::startApp(std::string& why) {
  const std::optional<SocketIdentity> before = socketAt(options_.socketPath);
  if (!app_->start(why)) return false;
  bool made = false;
  std::string refused;
  const bool listening = waitFor(
      [&] {
        const std::optional<SocketIdentity> now = socketAt(options_.socketPath);
        made = now && now != before;
        return made && reachable(refused);
      },
      options_.timeout);
  if (const std::optional<std::string> how = app_->ended()) {
    why = *how + " before it listened";
  } else if (!made) {
    why = "no socket appeared at " + options_.socketPath + " within " + seconds();
  } else if (!listening) {
    why = "a socket appeared at " + options_.socketPath + ", but within " + seconds() +
          " nothing accepted connections on it (" + refused + ")";
  }
  return listening;
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
  if (waitFor([&] { return host.statuses().size() > index; }, timeout) &&
      host.reported(index, app)) {
    return true;
  }
  if (host.reported(index, app)) {
    why = std::string("the host had reported \"") + app + "\"";
    return false;
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
  if (host && !awaitReport(*host, 0, "connected", options_.timeout, why)) {
    if (host->reported(0, "unavailable")) {
      std::string refused;
      why = "the host could not connect to " + options_.socketPath +
            " (it reported \"unavailable\"): " +
            (reachable(refused) ? "the application accepts connections there, but closed the "
                                  "host's at once"
                                : refused);
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
  waitFor([&] { return host.allTaken() || host.droppedAfter(connectedAt); }, options_.timeout);
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
bool AppChecker::endHost(Host& host, std::size_t connectedAt, std::string& why) const {
  host->finish(options_.timeout);
  const bool dropped = host->droppedAfter(connectedAt);
  const std::string wrong = host->misbehaviour();
  if (dropped) why = "the application closed the connection (the host reported \"unavailable\")";
  if (!wrong.empty()) why += (why.empty() ? "" : "; ") + wrong;
  return !dropped && wrong.empty();
}

std::optional<Bytes> AppChecker::awaitFrame(CheckedHost& host, std::string_view start) {
  std::optional<Bytes> found;
  waitFor(
      [&] {
        for (const Bytes& frame : host.lastAppFrames()) {
          if (common::asText(frame).starts_with(start)) found = frame;
        }
        return found.has_value() || host.droppedAfter(0);
      },
      options_.timeout);
  return found;
}

std::optional<Bytes> AppChecker::answerBefore(CheckedHost& host, const Bytes& bytes,
                                              const std::string& mark) {
  const std::string marker = R"({"type":")" + *options_.echo + R"(","mark":")" + mark + R"("})";
  host.send(concat({bytes, common::frameOf(marker)}));
  if (!awaitFrame(host, marker)) return std::nullopt;
  const std::deque<Bytes>& last = host.lastAppFrames();
  const auto echoed = std::find(last.begin(), last.end(), common::bytesOf(marker));
  if (echoed == last.begin()) return Bytes{};
  return *(echoed - 1);
}

}  // namespace ostrel::appcheck
