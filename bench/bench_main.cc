// ostrel-bench: measures ostrel-native-host against socat in its place and
// against a floor program, alternating the contestants run by run, and
// prints the medians, the host's ratios and whether each target holds.
// Exits 1 when any contestant lost or corrupted a frame or misbehaved.

#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "command_line.h"
#include "runs.h"
#include "table.h"

namespace ostrel::bench {
namespace {

constexpr const char* kHelp =
    R"HELP(Usage: ostrel-bench --host PATH --floor PATH [--socat PATH] [--before PATH]
                    [--rounds N] [--quick] [--only MEASURE]

Measures ostrel-native-host against `socat STDIO UNIX-CONNECT:PATH` (default
and with -b 65536) and against a floor program, the least a host must do.
Contestants alternate run by run; the table shows medians of the runs and the
host's ratio to its rival. Every frame is checked byte for byte; a contestant that
loses or alters one fails the run, and the benchmark then exits with 1. A
contestant still busy after 30 s is stuck: it is killed, fails the run, and
sits out the rest of that measure.

  --host PATH    the host to measure
  --floor PATH   the floor program (ostrel-bench-floor)
  --socat PATH   socat (default: socat on PATH)
  --before PATH  an earlier build of the host, measured alongside in a
                 column of its own (ratios and targets stay the host's)
  --rounds N     runs of each contestant per measure (default 7; start-up 5N)
  --quick        one round with small counts, to check the benchmark itself
  --only MEASURE run only start-up, round-trips, throughput or idle (for
                 profiling one of them)
)HELP";

struct Options {
  std::string host, floor, socat = "socat", before;
  int rounds = 7;
  bool quick = false;
  std::string only;
};

// The options, or nothing when they are wrong (said on standard error).
std::optional<Options> parse(int argc, char** argv) {
  static const option kOptions[] = {{"host", required_argument, nullptr, 'H'},
                                    {"floor", required_argument, nullptr, 'f'},
                                    {"socat", required_argument, nullptr, 's'},
                                    {"rounds", required_argument, nullptr, 'r'},
                                    {"quick", no_argument, nullptr, 'q'},
                                    {"only", required_argument, nullptr, 'o'},
                                    {"before", required_argument, nullptr, 'b'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  const std::string measures[] = {"start-up", "round-trips", "throughput", "idle"};
  Options options;
  std::string problem;
  auto take = [&](int option, const std::string& value) {
    char* end = nullptr;
    switch (option) {
      case 'H':
        options.host = value;
        break;
      case 'f':
        options.floor = value;
        break;
      case 's':
        options.socat = value;
        break;
      case 'b':
        options.before = value;
        break;
      case 'r':
        options.rounds = static_cast<int>(std::strtol(value.c_str(), &end, 10));
        if (value.empty() || *end != '\0' || options.rounds < 1) {
          problem = "--rounds needs a whole number of at least 1, not '" + value + "'";
        }
        break;
      case 'q':
        options.quick = true;
        break;
      case 'o':
        options.only = value;
        if (std::find(std::begin(measures), std::end(measures), value) == std::end(measures)) {
          problem = "--only takes start-up, round-trips, throughput or idle, not '" + value + "'";
        }
        break;
      default:
        std::fputs(kHelp, stdout);
        std::exit(0);
    }
    return problem.empty();
  };
  bool ok = false;
  const auto operands =
      standins::parseCommandLine("ostrel-bench", argc, argv, "h", kOptions, take, ok);
  if (ok && !operands.empty()) problem = "unexpected argument '" + operands.front() + "'";
  if (ok && problem.empty() && (options.host.empty() || options.floor.empty())) {
    problem = "--host and --floor are needed";
  }
  if (!ok || !problem.empty()) {
    if (!problem.empty()) std::fprintf(stderr, "ostrel-bench: %s\n", problem.c_str());
    std::fputs("ostrel-bench: see --help for the options\n", stderr);
    return std::nullopt;
  }
  if (options.quick) options.rounds = 1;
  return options;
}

std::optional<double> median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::optional<double> divide(std::optional<double> a, std::optional<double> b) {
  if (!a || !b || *b == 0) return std::nullopt;
  return *a / *b;
}

class Bench {
 public:
  Bench(const Options& options, const std::string& folder)
      : options_(options),
        folder_(folder),
        all_(makeContestants(options.host, options.floor, options.socat, options.before)) {}

  int run() {
    printHeader();
    if (wanted("start-up")) measureStartup();
    if (wanted("round-trips")) measureRoundTrips();
    if (wanted("throughput")) measureThroughput();
    if (wanted("idle")) measureIdle();
    std::fputs(("\n" + formatTable(rows_, hasBefore())).c_str(), stdout);
    printVerdict();
    std::printf(
        "\nratios: host ÷ the rival in the target (for rates, higher is better; for\n"
        "times, memory and CPU, lower is better). Medians of interleaved runs.\n");
    if (failures_ > 0) {
      std::printf("\n%d run(s) FAILED; see the lines above. Figures of failed runs are left out.\n",
                  failures_);
      return 1;
    }
    return 0;
  }

 private:
  void printVerdict() const {
    int met = 0, targets = 0;
    std::string missed;
    for (const Row& row : rows_) {
      if (!row.met) continue;
      ++targets;
      if (*row.met)
        ++met;
      else
        missed += "\n  " + row.measure + " (" + row.target + ")";
    }
    std::printf("\ntargets met: %d of %d%s\n", met, targets,
                missed.empty() ? "" : ("; missed:" + missed).c_str());
  }

  bool hasBefore() const { return !all_.before.name.empty(); }

  // The host, its earlier build when given, then `others`, in the order
  // they take turns.
  std::vector<const Contestant*> field(std::initializer_list<const Contestant*> others) const {
    std::vector<const Contestant*> all = {&all_.host};
    if (hasBefore()) all.push_back(&all_.before);
    all.insert(all.end(), others);
    return all;
  }

  // Gives the row just added the earlier build's figure.
  void addBefore(std::map<const Contestant*, std::vector<double>>& samples) {
    rows_.back().before = median(samples[&all_.before]);
  }

  bool wanted(const std::string& measure) const {
    return options_.only.empty() || options_.only == measure;
  }

  std::string socket() const { return folder_ + "/app.sock"; }

  void fail(const Contestant& who, const std::string& measure, const std::string& error) {
    ++failures_;
    std::printf("  FAILED  %s, %s: %s\n", who.name.c_str(), measure.c_str(), error.c_str());
    std::fflush(stdout);
  }

  void progress(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }

  void printHeader() {
    utsname system{};
    ::uname(&system);
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("ostrel-native-host benchmark: %s %s, %ld cores, load %.2f %.2f %.2f\n",
                system.sysname, system.release, ::sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1],
                load[2]);
    std::printf("host: %s\nrounds: %d%s\n\n", options_.host.c_str(), options_.rounds,
                options_.quick ? " (quick: small counts, figures are rough)" : "");
  }

  void measureStartup() {
    const int rounds = options_.quick ? 3 : 5 * options_.rounds;
    progress("start-up: " + std::to_string(rounds) + " alternating runs of host, " +
             (hasBefore() ? "before, " : "") + "socat and floor");
    std::map<const Contestant*, std::vector<double>> millis, cpu;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms the page cache
      for (const Contestant* who : field({&all_.socat, &all_.floor})) {
        std::string error;
        const auto sample = runStartup(*who, socket(), error);
        if (!sample) fail(*who, "start-up", error);
        if (sample && round >= 0) {
          millis[who].push_back(sample->millis);
          cpu[who].push_back(sample->cpuMicros);
        }
      }
    }
    addComparison("start-up (socat: to its connection)", "ms", millis, false, 0.75,
                  "<= 0.75x socat");
    addBefore(millis);
    const auto host = median(millis[&all_.host]);
    const auto floor = median(millis[&all_.floor]);
    rows_.push_back({"  the same, host against the floor",
                     "ms",
                     host,
                     {},
                     {},
                     floor,
                     divide(host, floor),
                     "",
                     std::nullopt});
    addBefore(millis);
    const auto hostCpu = median(cpu[&all_.host]);
    const auto floorCpu = median(cpu[&all_.floor]);
    rows_.push_back({"CPU used by then (all threads)",
                     "us",
                     hostCpu,
                     median(cpu[&all_.socat]),
                     {},
                     floorCpu,
                     divide(hostCpu, floorCpu),
                     "",
                     std::nullopt});
    addBefore(cpu);
  }

  void measureRoundTrips() {
    const std::size_t count = options_.quick ? 300 : 2000;
    progress("round trips: " + std::to_string(options_.rounds) + " alternating runs of " +
             std::to_string(count) + " for host, " + (hasBefore() ? "before, " : "") +
             "socat and floor");
    std::map<const Contestant*, std::vector<double>> p50, p99, cpu;
    for (int round = 0; round < options_.rounds; ++round) {
      for (const Contestant* who : field({&all_.socat, &all_.floor})) {
        std::string error;
        const auto sample = runRoundTrips(*who, socket(), count, error);
        if (!sample) {
          fail(*who, "round trips", error);
          continue;
        }
        p50[who].push_back(sample->p50Micros);
        p99[who].push_back(sample->p99Micros);
        cpu[who].push_back(sample->cpuMillisPer1000);
      }
    }
    addComparison("round trip p50", "us", p50, false, 1.1, "<= 1.1x socat");
    addComparison("  the same, host against the floor", "us", p50, false, 1.1, "<= 1.1x floor",
                  &all_.floor);
    addComparison("round trip p99", "us", p99, false, 1.3, "<= 1.3x socat");
    addComparison("CPU per 1,000 round trips", "ms", cpu, false, 1.0, "<= 1.0x socat");
    addComparison("  the same, host against the floor", "ms", cpu, false, 1.1, "<= 1.1x floor",
                  &all_.floor);
  }

  // A row comparing host and socat; `higherIsBetter` picks the sense of `limit`.
  void addComparison(const std::string& measure, const std::string& unit,
                     std::map<const Contestant*, std::vector<double>>& samples, bool higherIsBetter,
                     double limit, const std::string& target, const Contestant* rival = nullptr) {
    if (rival == nullptr) rival = &all_.socat;
    const auto host = median(samples[&all_.host]);
    const auto ratio = divide(host, median(samples[rival]));
    std::optional<bool> met;
    // A figure that is missing (every run failed) misses its target.
    if (!target.empty()) met = ratio && (higherIsBetter ? *ratio >= limit : *ratio <= limit);
    rows_.push_back({measure, unit, host, median(samples[&all_.socat]),
                     median(samples[&all_.socatBig]), median(samples[&all_.floor]), ratio, target,
                     met});
    addBefore(samples);
  }

  void measureThroughput() {
    struct Case {
      const char* name;
      Direction direction;
      std::size_t size, count;
      bool inMessages;
      double limit;
      const Contestant* rival;
      const char* target;
      bool withFloor;   // the floor relays frames as exactly as the host must
      double cpuLimit;  // when not 0: CPU per 1,000 frames at most this many times the floor's
    };
    const std::size_t kib = 1024, mib = 1024 * 1024;
    const std::size_t small = options_.quick ? 4096 : 32768, big = options_.quick ? 8 : 64;
    const Case cases[] = {
        {"1 MiB frames, app -> browser", Direction::kAppToBrowser, mib, big, false, 0.9,
         &all_.socatBig, ">= 0.9x socat-64k", true, 1.2},
        {"1 MiB frames, browser -> app", Direction::kBrowserToApp, mib, big, false, 0.7,
         &all_.socatBig, ">= 0.7x socat-64k", true, 1.15},
        {"1 KiB frames, browser -> app", Direction::kBrowserToApp, kib, small, true, 0.5,
         &all_.socat, ">= 0.5x socat", true, 0},
        {"1 KiB frames, app -> browser", Direction::kAppToBrowser, kib, small, true, 0, &all_.socat,
         "", true, 1.2},
        // Enough frames, even when quick, for a host that can deadlock to do so.
        {"1 MiB frames, both ways at once", Direction::kBothWays, mib, 64, false, 0.8,
         &all_.socatBig, ">= 0.8x socat-64k", false, 0},
    };
    std::map<const Contestant*, double> peak;
    for (const Case& c : cases) {
      progress(std::string("throughput, ") + c.name + ": " + std::to_string(options_.rounds) +
               " alternating runs of " + std::to_string(c.count) + " frames");
      std::map<const Contestant*, std::vector<double>> rate, messages, cpu;
      std::set<const Contestant*> stuck;  // sit out the rest of this case
      for (int round = 0; round < options_.rounds; ++round) {
        std::vector<const Contestant*> turns = field({&all_.socat, &all_.socatBig});
        if (c.withFloor) turns.push_back(&all_.floor);
        for (const Contestant* who : turns) {
          if (stuck.count(who) != 0) continue;
          std::string error;
          const auto sample = runThroughput(*who, socket(), c.direction, c.size, c.count, error);
          if (!sample) {
            fail(*who, c.name, error);
            if (isStuck(error)) stuck.insert(who);
            continue;
          }
          rate[who].push_back(sample->megabytesPerSecond);
          messages[who].push_back(sample->messagesPerSecond);
          cpu[who].push_back(sample->cpuMillisPer1000);
          if (c.size == mib) {
            peak[who] = std::max(peak[who], double(sample->peakResidentKiB) / 1024.0);
          }
        }
      }
      addComparison(std::string(c.name) + ", MB/s", "MB/s", rate, true, c.limit,
                    c.inMessages ? "" : c.target, c.rival);
      addComparison(std::string(c.name) + ", msg/s", "msg/s", messages, true, c.limit,
                    c.inMessages ? c.target : "", c.rival);
      if (c.withFloor) {
        const auto host = median(messages[&all_.host]);
        const auto floor = median(messages[&all_.floor]);
        rows_.push_back({"  the same, host against the floor",
                         "msg/s",
                         host,
                         {},
                         {},
                         floor,
                         divide(host, floor),
                         "",
                         std::nullopt});
        addBefore(messages);
      }
      if (c.cpuLimit > 0) {
        const auto host = median(cpu[&all_.host]);
        const auto floor = median(cpu[&all_.floor]);
        const auto ratio = divide(host, floor);
        char target[32];
        std::snprintf(target, sizeof target, "<= %gx floor", c.cpuLimit);
        rows_.push_back({"  CPU per 1,000 frames, vs the floor", "ms", host,
                         median(cpu[&all_.socat]), median(cpu[&all_.socatBig]), floor, ratio,
                         target, ratio && *ratio <= c.cpuLimit});
        addBefore(cpu);
      }
    }
    rows_.push_back(
        Row{"peak resident set, 1 MiB frames",
            "MiB",
            value(peak, &all_.host),
            value(peak, &all_.socat),
            value(peak, &all_.socatBig),
            {},
            {},
            "< 8 MiB",
            peak.count(&all_.host) ? std::optional(peak[&all_.host] < 8.0) : std::nullopt});
    rows_.back().before = value(peak, &all_.before);
  }

  static std::optional<double> value(std::map<const Contestant*, double>& map,
                                     const Contestant* who) {
    if (!map.count(who)) return std::nullopt;
    return map[who];
  }

  void measureIdle() {
    const int seconds = 3;
    progress(std::string("idle: host, ") + (hasBefore() ? "before, " : "") +
             "socat and socat-64k connected and idle together for " + std::to_string(seconds) +
             " s");
    const std::vector<const Contestant*> who = field({&all_.socat, &all_.socatBig});
    std::vector<std::string> errors;
    const auto samples = runIdle(who, folder_, seconds, errors);
    std::map<const Contestant*, double> wakeups, resident;
    std::string threads = "  threads:";
    for (std::size_t i = 0; i < who.size(); ++i) {
      if (!samples[i]) {
        fail(*who[i], "idle", errors[i]);
        continue;
      }
      wakeups[who[i]] = double(samples[i]->wakeups);
      resident[who[i]] = double(samples[i]->residentKiB) / 1024.0;
      threads += " " + who[i]->name + " " + std::to_string(samples[i]->threads) + ",";
    }
    threads.back() = '\n';
    std::fputs(threads.c_str(), stdout);
    const auto hostRss = value(resident, &all_.host);
    const auto ratio = divide(hostRss, value(resident, &all_.socat));
    rows_.push_back({"resident set after start-up",
                     "MiB",
                     hostRss,
                     value(resident, &all_.socat),
                     value(resident, &all_.socatBig),
                     {},
                     ratio,
                     "< socat",
                     ratio ? std::optional(*ratio < 1.0) : std::nullopt});
    rows_.back().before = value(resident, &all_.before);
    const auto hostWakeups = value(wakeups, &all_.host);
    rows_.push_back({"wake-ups, connected and idle 3 s",
                     "count",
                     hostWakeups,
                     value(wakeups, &all_.socat),
                     value(wakeups, &all_.socatBig),
                     {},
                     {},
                     "0",
                     hostWakeups ? std::optional(*hostWakeups == 0) : std::nullopt});
    rows_.back().before = value(wakeups, &all_.before);
  }

  Options options_;
  std::string folder_;
  Contestants all_;
  std::vector<Row> rows_;
  int failures_ = 0;
};

}  // namespace
}  // namespace ostrel::bench

int main(int argc, char** argv) {
  using namespace ostrel::bench;
  // A contestant that dies must show as a failed write, not end the benchmark.
  ::signal(SIGPIPE, SIG_IGN);
  const auto options = parse(argc, argv);
  if (!options) return 2;
  std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("ostrel-bench: cannot create a temporary folder");
    return 1;
  }
  const int status = Bench(*options, pattern).run();
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return status;
}
