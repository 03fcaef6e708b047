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
#include "fake_app.h"
#include "frame_reader.h"
#include "payload_pattern.h"
#include "proc_stats.h"
#include "watchdog.h"

namespace ostrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kRunLimit{60};
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

// Receives `count` pattern messages and then the end of the stream.
// Returns the time the last one arrived, or nothing after a fault.
std::optional<Clock::time_point> receiveAll(FrameReader& reader, const PayloadPattern& pattern,
                                            std::size_t count, std::string& error) {
  Clock::time_point last;
  for (std::size_t i = 0; i < count; ++i) {
    const auto payload = reader.next();
    if (!payload) {
      error = "frame " + std::to_string(i) + " of " + std::to_string(count) + " never arrived" +
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
      error = "cannot listen on " + app_.path();
    else if (!child_ || !child_->started())
      error = child_ ? child_->startError() : "no child";
    return error.empty();
  }

  bool started() const { return child_ && child_->started(); }
  Child& child() { return *child_; }
  FakeApp& app() { return app_; }
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
    const auto status = child_->finish();
    if (!status) {
      error = "did not exit within 5 s of its input closing";
    } else if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
      error = "ended with wait status " + std::to_string(*status);
    } else if (!child_->errors().empty()) {
      error = "wrote to standard error: " + child_->errors().substr(0, 200);
    } else if (reader_->next() || reader_->failed()) {
      error = "wrote an unexpected frame";
    }
    if (watchdog_->fired())
      error = "stuck; killed after " + std::to_string(kRunLimit.count()) + " s";
    return error.empty();
  }

 private:
  const Contestant& contestant_;
  FakeApp app_;
  std::unique_ptr<Child> child_;
  std::unique_ptr<FrameReader> reader_;
  std::unique_ptr<Watchdog> watchdog_;
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
  const int connection = session.app().accept(kConnectLimit);
  if (connection < 0) error = "never connected to the application";
  return connection;
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
  const auto cpu = cpuNanos(session.child().pid());
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
  const auto cpuBefore = cpuNanos(session.child().pid());
  for (std::size_t i = 0; ok && i < count; ++i) {
    const auto sent = Clock::now();
    ok = roundTrip(session, pattern, kWarmUp + i, frame);
    micros.push_back(secondsBetween(sent, Clock::now()) * 1e6);
  }
  const auto cpuAfter = cpuNanos(session.child().pid());
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
  std::string appError;
  std::optional<Clock::time_point> done;
  std::promise<void> received;
  const auto start = Clock::now();
  std::thread app;
  if (direction == Direction::kBrowserToApp) {
    app = std::thread([&, connection] {
      FrameReader reader(connection);
      done = receiveAll(reader, pattern, count, appError);
      received.set_value();
      if (done && (reader.next() || reader.failed())) appError = "an unexpected frame arrived";
      ::close(connection);
    });
    writeAll(session.child().input(), stream);
    received.get_future().wait();
  } else {
    app = std::thread([&, connection] {
      if (!writeAll(connection, stream)) appError = "the contestant stopped reading";
      char rest;
      while (::read(connection, &rest, 1) > 0) {
      }
      ::close(connection);
    });
    done = receiveAll(session.reader(), pattern, count, error);
  }
  const auto peak = peakResidentKiB(session.child().pid());
  std::string endError;
  const bool ended = session.end(endError);  // the application side sees its end now
  app.join();
  if (error.empty()) error = !appError.empty() ? appError : endError;
  if (!done || !ended || !error.empty()) {
    if (error.empty()) error = "run failed";
    return std::nullopt;
  }
  const double seconds = secondsBetween(start, *done);
  return ThroughputSample{double(size * count) / seconds / 1e6, double(count) / seconds,
                          peak.value_or(0)};
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
    before.push_back(session->started() ? voluntarySwitches(session->child().pid()) : std::nullopt);
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the idle span measured
  std::vector<std::optional<IdleSample>> samples;
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    std::optional<IdleSample> sample;
    if (ready[i] && before[i]) {
      const pid_t pid = sessions[i]->child().pid();
      const auto after = voluntarySwitches(pid);
      if (after) {
        sample = IdleSample{*after - *before[i], residentKiB(pid).value_or(0),
                            threadCount(pid).value_or(0)};
      }
    }
    if (ready[i] && !sessions[i]->end(errors[i])) sample.reset();
    samples.push_back(sample);
  }
  for (auto& app : apps) app.join();
  return samples;
}

}  // namespace ostrel::bench
