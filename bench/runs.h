#ifndef OSTREL_BENCH_RUNS_H_
#define OSTREL_BENCH_RUNS_H_

// One run of each measurement, for one contestant (idle: for several at
// once). Each starts the contestant against a fresh socket of its own, checks
// every byte that arrives, ends the contestant as a browser would, and
// returns nothing (with the reason in `error`) when anything went wrong:
// a lost, altered or unexpected frame, a time-out, a bad exit, or output on
// standard error.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contestant.h"

namespace ostrel::bench {

struct StartupSample {
  double millis;     // spawn to the first status frame read (socat: to its connection)
  double cpuMicros;  // CPU the contestant had used by then, all threads
};

struct RoundTripSample {
  double p50Micros;
  double p99Micros;
  double cpuMillisPer1000;  // contestant's CPU (all threads) per 1,000 round trips
};

enum class Direction { kBrowserToApp, kAppToBrowser, kBothWays };

struct ThroughputSample {
  double megabytesPerSecond;  // payload bytes, 10^6 per second, both directions together
  double messagesPerSecond;
  std::uint64_t peakResidentKiB;
  double cpuMillisPer1000;  // contestant's CPU (all threads) per 1,000 frames relayed
};

struct IdleSample {
  std::uint64_t wakeups;  // voluntary context switches over all threads
  std::uint64_t residentKiB;
  std::uint64_t threads;
};

std::optional<StartupSample> runStartup(const Contestant& contestant, const std::string& socket,
                                        std::string& error);

std::optional<RoundTripSample> runRoundTrips(const Contestant& contestant,
                                             const std::string& socket, std::size_t count,
                                             std::string& error);

// True when a run failed because its contestant was stuck and had to be killed.
bool isStuck(const std::string& error);

std::optional<ThroughputSample> runThroughput(const Contestant& contestant,
                                              const std::string& socket, Direction direction,
                                              std::size_t size, std::size_t count,
                                              std::string& error);

// All contestants connected and idle at the same time for `seconds`.
std::vector<std::optional<IdleSample>> runIdle(const std::vector<const Contestant*>& contestants,
                                               const std::string& folder, int seconds,
                                               std::vector<std::string>& errors);

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_RUNS_H_
