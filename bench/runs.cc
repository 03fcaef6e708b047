#include "runs.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <thread>

#include "channel/std_streams.h"
#include "payload_pattern.h"
#include "peers/fake_app.h"
#include "peers/frame_reader.h"
#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"
#include "watchdog.h"

namespace ostrel::bench {
namespace {

using Clock = std::chrono::steady_clock;
using peers::FrameReader;

// A run that takes longer has a stuck contestant: the slowest run, 64 MiB
// both ways, takes well under a second on an idle machine.
constexpr std::chrono::seconds kRunLimit{30};
constexpr std::chrono::seconds kExitLimit{5};
constexpr std::string_view kStuck = "stuck: killed after ";
constexpr std::chrono::milliseconds kConnectLimit{10000};
constexpr std::size_t kSmallMessage = 64;
constexpr std::size_t kWarmUp = 200;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The frames of messages 0..count-1 back to back, written in as few calls as
// the descriptor takes, so the writer is never the bottleneck.
std::vector<std::uint8_t> frameStream(const PayloadPattern& pattern, std::size_t count) {
  std::vector<std::uint8_t> stream(count * (pattern.size() + kFrameHeaderSize));
  for (std::size_t i = 0; i < count; ++i) {
    pattern.writeFrame(i, stream.data() + i * (pattern.size() + kFrameHeaderSize));
  }
  return stream;
}

// Receives pattern messages first..first+count-1. Returns the time the last
// one arrived, or nothing after a fault.
std::optional<Clock::time_point> receiveAll(FrameReader& reader, const PayloadPattern& pattern,
                                            std::size_t first, std::size_t count,
                                            std::string& error) {
  Clock::time_point last;
  for (std::size_t i = first; i < first + count; ++i) {
    const auto payload = reader.next();
    if (!payload) {
      error = "frame " + std::to_string(i) + " never arrived" +
              (reader.failed() ? " (invalid frame)" : "");
      return std::nullopt;
    }
    if (!pattern.matches(i, *payload)) {
      error = "frame " + std::to_string(i) + " arrived altered or out of order";
      return std::nullopt;
    }
    last = Clock::now();
  }
  return last;
}

// Echoes every frame on `fd` back until the stream ends; true if the
// stream ended cleanly. Closes `fd`.
bool echoFrames(int fd) {
  FrameReader reader(fd);
  bool ok = true;
  while (auto payload = reader.next()) {
    if (!writeAll(fd, frameMessage(*payload))) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok && !reader.failed();
}

// One contestant started against its own fresh application socket.
class Session {
 public:
  Session(const Contestant& contestant, const std::string& socket)
      : contestant_(contestant), app_(socket) {
    if (app_.listening()) child_ = contestant.start(socket);
    if (child_ && child_->started()) {
      reader_ = std::make_unique<FrameReader>(child_->output());
      watchdog_ = std::make_unique<Watchdog>(*child_, kRunLimit);
    }
  }

  bool ok(std::string& error) const {
    if (!app_.listening())
      error = app_.error();
    else if (!child_ || !child_->started())
      error = child_ ? child_->startError() : "no child";
    return error.empty();
  }

  bool started() const { return child_ && child_->started(); }
  common::ChildProcess& child() { return *child_; }
  peers::FakeApp& app() { return app_; }
  FrameReader& reader() { return *reader_; }

  // Reads the "connected" status a host greets with; others send none.
  bool greeted(std::string& error) {
    if (!contestant_.sendsStatus) return true;
    const auto payload = reader_->next();
    if (!payload || !isConnectedStatus({payload->begin(), payload->end()})) {
      error = "the first frame was not the \"connected\" status";
      return false;
    }
    return true;
  }

  // Closes the contestant's input and checks that it ends as it should:
  // exit status 0, nothing on standard error, no stray frame on its output.
  bool end(std::string& error) {
    stuck_ = watchdog_->cancel();  // before the contestant is reaped
    child_->closeInput();
    const auto status = child_->waitExit(kExitLimit);
    std::string errors;
    common::readAvailable(child_->errors(), errors);
    if (!status) {
      error = "did not exit within 5 s of its input closing";
    } else if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
      error = "ended with wait status " + std::to_string(*status);
    } else if (!errors.empty()) {
      error = "wrote to standard error: " + errors.substr(0, 200);
    } else if (reader_->next() || reader_->failed()) {
      error = "wrote an unexpected frame";
    }
    if (stuck_) error = std::string(kStuck) + std::to_string(kRunLimit.count()) + " s";
    return error.empty();
  }

  // True once end() found that the watchdog had to kill the contestant.
  bool wasStuck() const { return stuck_; }

 private:
  const Contestant& contestant_;
  peers::FakeApp app_;
  std::unique_ptr<common::ChildProcess> child_;
  std::unique_ptr<FrameReader> reader_;
  std::unique_ptr<Watchdog> watchdog_;
  bool stuck_ = false;
};

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  const std::size_t rank = static_cast<std::size_t>(std::ceil(fraction * samples.size()));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

// One message out and its echo back; false when the echo is wrong or missing.
bool roundTrip(Session& session, const PayloadPattern& pattern, std::uint64_t sequence,
               std::vector<std::uint8_t>& frame) {
  pattern.writeFrame(sequence, frame.data());
  if (!writeAll(session.child().input(), frame)) return false;
  const auto echo = session.reader().next();
  return echo && pattern.matches(sequence, *echo);
}

// The contestant's connection to the application, or -1 with `error` set
// when the session did not start or the contestant never connected.
int acceptApplication(Session& session, std::string& error) {
  if (!session.ok(error)) return -1;
  std::optional<peers::AppConnection> connection = session.app().accept(kConnectLimit);
  if (!connection) {
    error = "never connected to the application";
    return -1;
  }
  return connection->release();
}

}  // namespace

std::optional<StartupSample> runStartup(const Contestant& contestant, const std::string& socket,
                                        std::string& error) {
  const auto begin = Clock::now();
  Session session(contestant, socket);
  if (!session.ok(error)) return std::nullopt;
  // A contestant that greets is ready at its first status frame; socat, which
  // never writes first, once it has connected to the application.
  int connection = -1;
  if (contestant.sendsStatus) {
    if (!session.greeted(error)) return std::nullopt;
  } else if ((connection = acceptApplication(session, error)) < 0) {
    return std::nullopt;
  }
  const auto ready = Clock::now();
  const auto cpu = common::cpuNanos(session.child().pid());
  if (connection >= 0) ::close(connection);
  if (!session.end(error)) return std::nullopt;
  return StartupSample{secondsBetween(begin, ready) * 1e3, cpu ? double(*cpu) / 1e3 : NAN};
}

std::optional<RoundTripSample> runRoundTrips(const Contestant& contestant,
                                             const std::string& socket, std::size_t count,
                                             std::string& error) {
  Session session(contestant, socket);
  const int connection = acceptApplication(session, error);
  if (connection < 0) return std::nullopt;
  bool echoed = true;
  std::thread app([connection, &echoed] { echoed = echoFrames(connection); });
  const PayloadPattern pattern(kSmallMessage);
  std::vector<std::uint8_t> frame(kSmallMessage + kFrameHeaderSize);
  std::vector<double> micros;
  micros.reserve(count);
  bool ok = session.greeted(error);
  for (std::size_t i = 0; ok && i < kWarmUp; ++i) ok = roundTrip(session, pattern, i, frame);
  const auto cpuBefore = common::cpuNanos(session.child().pid());
  for (std::size_t i = 0; ok && i < count; ++i) {
    const auto sent = Clock::now();
    ok = roundTrip(session, pattern, kWarmUp + i, frame);
    micros.push_back(secondsBetween(sent, Clock::now()) * 1e6);
  }
  const auto cpuAfter = common::cpuNanos(session.child().pid());
  if (!ok && error.empty()) error = "a round trip came back wrong or not at all";
  const bool ended = session.end(error);
  app.join();
  if (!ok || !ended) return std::nullopt;
  if (!echoed) {
    error = "the application side saw an invalid frame";
    return std::nullopt;
  }
  const double cpuMillis = cpuBefore && cpuAfter ? double(*cpuAfter - *cpuBefore) / 1e6 : NAN;
  return RoundTripSample{percentile(micros, 0.50), percentile(micros, 0.99),
                         cpuMillis * 1000.0 / double(count)};
}

bool isStuck(const std::string& error) { return error.starts_with(kStuck); }

std::optional<ThroughputSample> runThroughput(const Contestant& contestant,
                                              const std::string& socket, Direction direction,
                                              std::size_t size, std::size_t count,
                                              std::string& error) {
  const PayloadPattern pattern(size);
  const std::vector<std::uint8_t> stream = frameStream(pattern, count);
  Session session(contestant, socket);
  const int connection = acceptApplication(session, error);
  if (connection < 0) return std::nullopt;
  if (!session.greeted(error)) {
    ::close(connection);
    return std::nullopt;
  }
  const bool toApp = direction != Direction::kAppToBrowser;
  const bool toBrowser = direction != Direction::kBrowserToApp;
  std::string appError;
  std::optional<Clock::time_point> appDone;
  std::promise<void> appReceived;
  const auto cpuBefore = common::cpuNanos(session.child().pid());
  const auto start = Clock::now();
  // The application's side, on a thread of its own. Both ways at once, it
  // writes a whole frame and then reads one, as a simple application does.
  std::thread app([&, connection] {
    FrameReader reader(connection);
    const std::size_t frameSize = size + kFrameHeaderSize;
    if (!toApp) {
      if (!writeAll(connection, stream)) appError = "the contestant stopped reading";
    } else if (!toBrowser) {
      appDone = receiveAll(reader, pattern, 0, count, appError);
    } else {
      for (std::size_t i = 0; i < count && appError.empty(); ++i) {
        if (!writeAll(connection, {stream.data() + i * frameSize, frameSize})) {
          appError = "the contestant stopped reading";
        } else {
          appDone = receiveAll(reader, pattern, i, 1, appError);
        }
      }
    }
    appReceived.set_value();
    // Then only the end of the stream may come.
    if (toApp && appError.empty() && (reader.next() || reader.failed())) {
      appError = "an unexpected frame arrived";
    }
    while (!toApp && reader.next()) {
    }
    ::close(connection);
  });
  std::thread browser([&] {
    if (toApp) writeAll(session.child().input(), stream);
  });
  // When the last frame arrived, both ways together.
  Clock::time_point done = start;
  bool complete = true;
  if (toBrowser) {
    const auto browserDone = receiveAll(session.reader(), pattern, 0, count, error);
    complete = browserDone.has_value();
    done = browserDone.value_or(start);
  }
  appReceived.get_future().wait();
  browser.join();
  if (toApp) {
    complete = complete && appDone.has_value();
    done = std::max(done, appDone.value_or(start));
  }
  const auto cpuAfter = common::cpuNanos(session.child().pid());
  const auto peak = common::peakResidentKiB(session.child().pid());
  std::string endError;
  const bool ended = session.end(endError);  // the application side sees its end now
  app.join();
  // A stuck contestant explains every other failure of its run.
  if (session.wasStuck() || error.empty()) error = endError;
  if (error.empty()) error = appError;
  if (!complete || !ended || !error.empty()) {
    if (error.empty()) error = "run failed";
    return std::nullopt;
  }
  const double seconds = secondsBetween(start, done);
  const std::size_t directions = toApp && toBrowser ? 2 : 1;
  const double cpuMillis = cpuBefore && cpuAfter ? double(*cpuAfter - *cpuBefore) / 1e6 : NAN;
  return ThroughputSample{double(directions * size * count) / seconds / 1e6,
                          double(directions * count) / seconds, peak.value_or(0),
                          cpuMillis * 1000.0 / double(directions * count)};
}

std::vector<std::optional<IdleSample>> runIdle(const std::vector<const Contestant*>& contestants,
                                               const std::string& folder, int seconds,
                                               std::vector<std::string>& errors) {
  std::vector<std::unique_ptr<Session>> sessions;
  std::vector<std::thread> apps;
  std::vector<bool> ready(contestants.size(), false);
  errors.assign(contestants.size(), "");
  const PayloadPattern pattern(kSmallMessage);
  std::vector<std::uint8_t> frame(kSmallMessage + kFrameHeaderSize);
  for (std::size_t i = 0; i < contestants.size(); ++i) {
    sessions.push_back(
        std::make_unique<Session>(*contestants[i], folder + "/idle" + std::to_string(i) + ".sock"));
    Session& session = *sessions.back();
    const int connection = acceptApplication(session, errors[i]);
    if (connection < 0) continue;
    apps.emplace_back([connection] { echoFrames(connection); });
    ready[i] = session.greeted(errors[i]) && roundTrip(session, pattern, 0, frame);
    if (!ready[i] && errors[i].empty()) errors[i] = "the first round trip failed";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let start-up work settle
  std::vector<std::optional<std::uint64_t>> before;
  for (auto& session : sessions) {
    before.push_back(session->started() ? common::voluntarySwitches(session->child().pid())
                                        : std::nullopt);
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the idle span measured
  std::vector<std::optional<IdleSample>> samples;
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    std::optional<IdleSample> sample;
    if (ready[i] && before[i]) {
      const pid_t pid = sessions[i]->child().pid();
      const auto after = common::voluntarySwitches(pid);
      if (after) {
        sample = IdleSample{*after - *before[i], common::residentKiB(pid).value_or(0),
                            common::threadIds(pid).size()};
      }
    }
    if (ready[i] && !sessions[i]->end(errors[i])) sample.reset();
    samples.push_back(sample);
  }
  for (auto& app : apps) app.join();
  return samples;
}

}  // namespace ostrel::bench
