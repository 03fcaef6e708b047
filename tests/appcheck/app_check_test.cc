// ostrel-app-check against real servers, with the real host: the reference
// server, the example server and a Node.js server that relies on its folder
// pass; each broken server fails the scenario of its fault, on that line,
// with words that name the change; a dead application stops the check at
// once; without a host beside it the checker stops at once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/descriptors.h"
#include "support/test_support.h"

namespace ostrel::tests {
namespace {

using std::chrono::milliseconds;

// Long enough for a run that waits out one --timeout on a loaded machine.
constexpr milliseconds kRunDeadline{120000};

struct CheckRun {
  std::optional<int> exitCode;
  std::map<std::string, std::pair<std::string, std::string>> lines;  // scenario -> verdict, words
  std::vector<std::string> order;
  std::string notRun;  // the scenarios left out when it stopped early
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
  static const std::regex kLine(R"(^(pass|fail|skip)  (\S+) +(.*)$)");
  static const std::regex kNotRun(R"(; stopped there, not run: (.*)$)");
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, kLine)) {
      run.lines[match[2]] = {match[1], match[3]};
      run.order.push_back(match[2]);
    } else if (std::regex_search(line, match, kNotRun)) {
      run.notRun = match[1];
    }
  }
  return run;
}

const std::vector<std::string> kScenarios = {
    "listening",    "socket",       "frames",     "second-instance", "sigterm",
    "replaced",     "crash",        "replay",     "no-replay",       "1mib",
    "side-by-side", "writes-first", "two-hellos", "stalled-host",    "other-user",
    "probe",        "mid-frame"};

const std::vector<std::string> kNeedCommand = {"second-instance", "sigterm", "replaced", "crash"};

// What a run that fails `failing` alone (each with words its line must
// hold; none: passes) shows: every other scenario passes, but for those
// that cannot run here, which are skipped; after a failure that stops the
// run, nothing is.
void expectOnly(const CheckRun& run, const std::map<std::string, std::string>& failing,
                bool command = true, const std::vector<std::string>& skipped = {}) {
  SCOPED_TRACE(run.out + run.err);
  EXPECT_EQ(run.exitCode, failing.empty() ? 0 : 1);
  bool stopped = false;
  for (const std::string& scenario : kScenarios) {
    const auto found = run.lines.find(scenario);
    if (stopped) {
      EXPECT_EQ(found, run.lines.end()) << scenario << " ran after the run stopped";
      EXPECT_NE(run.notRun.find(scenario), std::string::npos) << scenario;
      continue;
    }
    ASSERT_NE(found, run.lines.end()) << scenario << " is missing";
    const auto& [verdict, words] = found->second;
    if (const auto fault = failing.find(scenario); fault != failing.end()) {
      EXPECT_EQ(verdict, "fail") << scenario;
      EXPECT_NE(words.find(fault->second), std::string::npos) << scenario << ": " << words;
      stopped = !run.notRun.empty() && run.order.back() == scenario;
      continue;
    }
    const bool skips =
        (scenario == "other-user" && ::geteuid() != 0) ||
        (!command && std::count(kNeedCommand.begin(), kNeedCommand.end(), scenario)) ||
        std::count(skipped.begin(), skipped.end(), scenario);
    EXPECT_EQ(verdict, skips ? "skip" : "pass") << scenario << ": " << words;
  }
}

// A temporary folder that other users may pass through (but not read or
// change): what keeps them from a socket below it is then the
// application's own folder.
struct PassableDir : TempDir {
  PassableDir() { ::chmod(path().c_str(), 0711); }
};

TEST(AppCheckTest, TheReferenceServerStartedByTheCheckerPasses) {
  PassableDir dir;
  const std::string socket = dir.file("app/browser.sock");
  // Python may take seconds to start on a loaded machine.
  expectOnly(
      runChecker(OSTREL_APP_CHECK,
                 {"--socket", socket, "--timeout", "30", "--request", R"({"type":"ping","n":1})",
                  "--echo", "echo", "--", OSTREL_PYTHON, OSTREL_REFERENCE_APP, "--socket", socket}),
      {});
}

TEST(AppCheckTest, TheExampleServerAlreadyRunningPasses) {
  PassableDir dir;
  const std::string socket = dir.file("app/browser.sock");
  common::ChildProcess server(common::Launch{.argv = {OSTREL_EXAMPLE_C_APP, socket},
                                             .environment = common::environmentWith({})});
  ASSERT_TRUE(server.started()) << server.startError();
  // Nobody reads what it prints, which must not hold it up: it ignores
  // SIGPIPE, and its lines go nowhere.
  server.closeOutput();
  struct stat status {};
  ASSERT_TRUE(waitUntil([&] { return ::lstat(socket.c_str(), &status) == 0; }));
  const CheckRun run =
      runChecker(OSTREL_APP_CHECK, {"--socket", socket, "--request", R"({"type":"ping"})"});
  expectOnly(run, {}, false);
  // Its answers are shown.
  EXPECT_NE(run.out.find(R"(the first: {"type":"received","bytes":)"), std::string::npos);
  server.signal(SIGTERM);
  EXPECT_TRUE(server.waitExit(kDeadline).has_value());
}

// A server in Node.js that checks no peer and relies on its private folder,
// as the application developers' page allows.
TEST(AppCheckTest, ANodeServerThatReliesOnItsPrivateFolderPasses) {
  if (::access("/usr/bin/node", X_OK) != 0) GTEST_SKIP() << "needs node (Debian: nodejs)";
  PassableDir dir;
  const std::string socket = dir.file("app/browser.sock");
  expectOnly(runChecker(OSTREL_APP_CHECK,
                        {"--socket", socket, "--timeout", "30", "--request", R"({"type":"ping"})",
                         "--echo", "echo", "--", "/usr/bin/node", OSTREL_FOLDER_ONLY_APP, socket}),
             {});
}

struct Broken {
  const char* mode;
  std::map<std::string, std::string> failing;  // scenario -> words of its line
  std::vector<std::string> options = {};
  std::vector<std::string> skipped = {};  // for want of what the fault broke
};

void PrintTo(const Broken& broken, std::ostream* out) { *out << broken.mode; }

class BrokenServerTest : public testing::TestWithParam<Broken> {};

TEST_P(BrokenServerTest, FailsOnTheLineOfItsFaultWithWordsThatNameTheChange) {
  const Broken& broken = GetParam();
  if (broken.failing.contains("other-user") && ::geteuid() != 0) {
    GTEST_SKIP() << "the checker tries another user's process only as root";
  }
  PassableDir dir;
  const std::string socket = dir.file("app/browser.sock");
  std::vector<std::string> arguments = {"--socket",           socket,   "--request",
                                        R"({"type":"ping"})", "--echo", "echo"};
  arguments.insert(arguments.end(), broken.options.begin(), broken.options.end());
  for (const std::string word : {"--", OSTREL_BROKEN_APP, broken.mode}) arguments.push_back(word);
  arguments.push_back(socket);
  expectOnly(runChecker(OSTREL_APP_CHECK, arguments), broken.failing, true, broken.skipped);
}

// Those that wait out the time-out get a short one.
const std::vector<std::string> kShort = {"--timeout", "4"};

INSTANTIATE_TEST_SUITE_P(
    Modes, BrokenServerTest,
    testing::Values(
        Broken{"none", {}}, Broken{"folder-only", {}},
        Broken{"open-folder", {{"socket", "the folder is open to others: make it 0700"}}},
        Broken{"open-socket",
               {{"socket",
                 "the socket file is open to others: make it 0600, with chmod() "
                 "between bind() and listen()"}}},
        Broken{"big-endian",
               {{"frames",
                 "the application reads frame lengths big-endian: it closed a "
                 "connection that began with \"hello\""}}},
        Broken{"steal-live",
               {{"second-instance",
                 "replaced the first's socket file with its own, and the "
                 "first runs on, unreachable: before removing a socket file, "
                 "connect to it"}}},
        Broken{"leaves-socket", {{"sigterm", "but left its socket file " /* path */}}},
        Broken{"removes-any",
               {
                   {"replaced", "removed the socket file at"},
               }},
        Broken{"no-stale",
               {{"crash",
                 "did not start again over the socket file it had left (a socket file "
                 "on which a connection is refused is stale: remove it, then bind"}}},
        Broken{"hello-first", {{"no-replay", "serve a connection whatever its first message"}}},
        Broken{"short-limit",
               {{"1mib", "a message of exactly 1 MiB is allowed; refuse only a longer one"}}},
        Broken{"cut-payload",
               {{"1mib",
                 "the application sent back only the first 1048572 of the 1048576 "
                 "bytes: it cuts a message longer than 1048572 bytes"}}},
        Broken{"one-at-a-time",
               // The default time-out: what it leaves waiting in its queue takes
               // a while to drain, under sanitizers most.
               {{"side-by-side", "the application stopped reading: of 3.0 MiB sent"}}},
        Broken{"hello-evicts",
               {{"side-by-side",
                 "the first host's connection was closed (it reported "
                 "\"unavailable\") when a second host sent the same \"hello\""}}},
        Broken{"hello-resets",
               {{"two-hellos",
                 "after a second \"hello\" on the same connection, the application "
                 "answered {\"type\":\"ping\"} otherwise: before it "
                 "{\"type\":\"pong\",\"focus\":1}, after it "
                 "{\"type\":\"pong\",\"focus\":0}"}}},
        Broken{"cut-writes",
               {{"writes-first", "no answer to {\"type\":\"ping\"} came back whole within 4 s"}},
               kShort,
               {"two-hellos", "stalled-host"}},
        Broken{"blocking-writes",
               {{"stalled-host",
                 "was not answered within 4 s: the writes to the connection that "
                 "does not read hold up the others"}},
               kShort},
        Broken{"open-no-peer",
               {{"socket", "the folder is open to others"},
                {"other-user", "reached the socket, and the application answered it"}}},
        Broken{"probe-kills", {{"probe", "the application ended: it exited with status 3"}}},
        Broken{"cut-kills", {{"mid-frame", "the application ended: it exited with status 3"}}},
        Broken{"focus-kills", {{"replay", "the application ended: it exited with status 3"}}}),
    [](const testing::TestParamInfo<Broken>& info) {
      std::string name = info.param.mode;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// Nothing listens at the path, or the application ends at once: the check
// says so on its first line and stops, well within --timeout.
// What the application said last is shown by the tools' one rule: nothing
// it wrote reaches the terminal as a control.
TEST(AppCheckTest, ShowsWhatTheApplicationSaidWithoutItsControls) {
  PassableDir dir;
  const std::string socket = dir.file("app/browser.sock");
  const CheckRun run = runChecker(
      OSTREL_APP_CHECK, {"--socket", socket, "--", OSTREL_BROKEN_APP, "focus-kills", socket});
  EXPECT_NE(run.out.find("    | dying \\x1b[31m \\u009b31m \\u202e kcab"), std::string::npos)
      << run.out;
  for (const std::string raw : {"\x1b", "\xc2\x9b", "\xe2\x80\xae"}) {
    EXPECT_EQ(run.out.find(raw), std::string::npos) << run.out;
  }
}

TEST(AppCheckTest, ADeadApplicationStopsTheCheckAtOnce) {
  PassableDir dir;
  const std::string socket = dir.file("stale.sock");
  const int fd = openUnixStreamSocket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket.copy(address.sun_path, socket.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);  // a socket file left behind
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{}, std::vector<std::string>{"--", "/bin/false"}}) {
    std::vector<std::string> arguments = {"--socket", socket, "--timeout", "3"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const auto start = std::chrono::steady_clock::now();
    const CheckRun run = runChecker(OSTREL_APP_CHECK, arguments);
    const auto took = std::chrono::steady_clock::now() - start;
    SCOPED_TRACE(run.out + run.err);
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(run.exitCode, 1);
    ASSERT_EQ(run.order, std::vector<std::string>{"listening"});
    EXPECT_NE(run.lines.at("listening")
                  .second.find(command.empty()
                                   ? "but nothing accepts connections on it (cannot connect to " +
                                         socket + ": Connection refused)"
                                   : "it exited with status 1 before it listened"),
              std::string::npos);
    EXPECT_NE(run.notRun.find("mid-frame"), std::string::npos);
  }
}

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
