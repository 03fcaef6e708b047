// ostrel-app-check against real servers, with the real host: the reference
// server and the example server pass; each broken server fails exactly the
// scenario it breaks; without a host beside it the checker stops at once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace ostrel::tests {
namespace {

using std::chrono::milliseconds;

// Long enough for a run that waits out one --timeout on a loaded machine.
constexpr milliseconds kRunDeadline{120000};

struct CheckRun {
  std::optional<int> exitCode;
  std::map<std::string, std::string> verdicts;  // scenario -> "pass", "fail" or "skip"
  std::string out;
  std::string err;
};

CheckRun runChecker(const std::string& checker, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {checker};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  common::ChildProcess child(
      common::Launch{.argv = argv, .environment = common::environmentWith({})});
  CheckRun run;
  if (!child.started()) return run;
  child.closeInput();
  const auto deadline = std::chrono::steady_clock::now() + kRunDeadline;
  bool outEnded = false;
  bool errEnded = false;
  waitUntil(
      [&] {
        if (!outEnded) outEnded = !common::readAvailable(child.output(), run.out);
        if (!errEnded) errEnded = !common::readAvailable(child.errors(), run.err);
        return outEnded && errEnded;
      },
      kRunDeadline);
  const auto left =
      std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
  const std::optional<int> status = child.waitExit(std::max(left, milliseconds(1000)));
  if (status && WIFEXITED(*status)) run.exitCode = WEXITSTATUS(*status);
  static const std::regex kLine(R"(^(pass|fail|skip)  (\S+) +.*$)");
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, kLine)) run.verdicts[match[2]] = match[1];
  }
  return run;
}

const std::vector<std::string> kScenarios = {
    "listening",    "socket",       "replay",     "no-replay", "1mib",
    "side-by-side", "writes-first", "other-user", "probe",     "mid-frame"};

// What a run that fails only `failing` (none: "") shows.
void expectOnlyFailure(const CheckRun& run, const std::string& failing) {
  SCOPED_TRACE(run.out + run.err);
  EXPECT_EQ(run.exitCode, failing.empty() ? 0 : 1);
  for (const std::string& scenario : kScenarios) {
    const std::string rootOnly = ::geteuid() == 0 ? "pass" : "skip";
    const std::string expected = scenario == failing        ? "fail"
                                 : scenario == "other-user" ? rootOnly
                                                            : "pass";
    const auto found = run.verdicts.find(scenario);
    EXPECT_EQ(found == run.verdicts.end() ? "missing" : found->second, expected) << scenario;
  }
}

TEST(AppCheckTest, TheReferenceServerStartedByTheCheckerPasses) {
  TempDir dir;
  const std::string socket = dir.file("app/browser.sock");
  // Python may take seconds to start on a loaded machine.
  expectOnlyFailure(
      runChecker(OSTREL_APP_CHECK,
                 {"--socket", socket, "--timeout", "30", "--request", R"({"type":"ping","n":1})",
                  "--", OSTREL_PYTHON, OSTREL_REFERENCE_APP, "--socket", socket}),
      "");
}

TEST(AppCheckTest, TheExampleServerAlreadyRunningPasses) {
  TempDir dir;
  const std::string socket = dir.file("app/browser.sock");
  common::ChildProcess server(common::Launch{.argv = {OSTREL_EXAMPLE_C_APP, socket},
                                             .environment = common::environmentWith({})});
  ASSERT_TRUE(server.started()) << server.startError();
  // Nobody reads what it prints, which must not hold it up: it ignores
  // SIGPIPE, and its lines go nowhere.
  server.closeOutput();
  struct stat status {};
  ASSERT_TRUE(waitUntil([&] { return ::lstat(socket.c_str(), &status) == 0; }));
  std::string said;
  const CheckRun run = runChecker(OSTREL_APP_CHECK, {"--socket", socket});
  expectOnlyFailure(run, "");
  // Its answers are shown.
  EXPECT_NE(run.out.find(R"(the first: {"type":"received","bytes":)"), std::string::npos);
  server.signal(SIGTERM);
  EXPECT_TRUE(server.waitExit(kDeadline).has_value());
}

struct Broken {
  const char* mode;
  const char* scenario;  // the one it fails; "": none
  std::vector<std::string> options;
};

void PrintTo(const Broken& broken, std::ostream* out) { *out << broken.mode; }

class BrokenServerTest : public testing::TestWithParam<Broken> {};

TEST_P(BrokenServerTest, FailsOnlyTheScenarioItBreaks) {
  const Broken& broken = GetParam();
  if (std::string(broken.scenario) == "other-user" && ::geteuid() != 0) {
    GTEST_SKIP() << "the checker tries another user's process only as root";
  }
  TempDir dir;
  const std::string socket = dir.file("app/browser.sock");
  std::vector<std::string> arguments = {"--socket", socket, "--request", R"({"type":"ping"})"};
  arguments.insert(arguments.end(), broken.options.begin(), broken.options.end());
  for (const std::string word : {"--", OSTREL_BROKEN_APP, broken.mode}) arguments.push_back(word);
  arguments.push_back(socket);
  expectOnlyFailure(runChecker(OSTREL_APP_CHECK, arguments), broken.scenario);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BrokenServerTest,
    testing::Values(Broken{"none", "", {}}, Broken{"open-folder", "socket", {}},
                    Broken{"no-stale", "replay", {}}, Broken{"hello-first", "no-replay", {}},
                    Broken{"short-limit", "1mib", {}},
                    // These wait out the timeout.
                    Broken{"one-at-a-time", "side-by-side", {"--timeout", "5"}},
                    Broken{"cut-writes", "writes-first", {"--timeout", "5"}},
                    Broken{"no-peer-check", "other-user", {"--timeout", "5"}},
                    Broken{"probe-kills", "probe", {}}, Broken{"cut-kills", "mid-frame", {}}),
    [](const testing::TestParamInfo<Broken>& info) {
      std::string name = info.param.mode;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST(AppCheckTest, WithoutAHostBesideItStopsAtOnce) {
  TempDir dir;
  const std::string copy = dir.file("ostrel-app-check");
  std::filesystem::copy_file(OSTREL_APP_CHECK, copy);
  ::chmod(copy.c_str(), 0755);
  const CheckRun run = runChecker(copy, {"--socket", dir.file("app.sock")});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("no ostrel-native-host at " + dir.file("ostrel-native-host")),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace ostrel::tests
