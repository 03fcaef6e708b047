// The whole chain with a real browser, headless: the browser loads the
// test extension from a fresh profile, the extension starts the host
// through the manifest that the setup tool wrote, and a fake application on
// the socket drives the exchange and checks what both ends saw. One
// scenario, run once with Chromium and once with Firefox, and once more
// with Chromium through the tap, whose log must show every frame while the
// extension and the application see exactly what they see without it.
//
// When the browser is missing or cannot start here, its test is skipped,
// never passed.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "browser_process.h"
#include "browsers.h"
#include "host_wrapper.h"
#include "peers/fake_app.h"
#include "peers/temp_dir.h"
#include "tools/common/bytes.h"
#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"

namespace ostrel::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using common::processesWith;
using common::textOf;
using common::waitUntil;
using peers::AppConnection;
using peers::FakeApp;

// The extension's first two messages, as both browsers serialise them:
// non-ASCII text, escapes and numbers must reach the application exactly so.
const std::string kHello =
    "{\"type\":\"hello\",\"client\":\"e2e\",\"text\":\"h\xc3\xa9llo w\xc3\xb6rld \xe2\x9c\x93 "
    "\xf0\x9f\x8e\x89 \\\"quoted\\\" back\\\\slash <tag> &amp;\",\"numbers\":[0,-7,2.5,1e+21],"
    "\"flags\":{\"on\":true,\"off\":false,\"none\":null}}";
const std::string kFirstFocus = R"({"type":"focus","seq":1})";

const std::string kEcho = "{\"type\":\"echo\",\"text\":\"\xe2\x86\x94 round trip\"}";
const std::string kSend =
    R"({"type":"send","messages":[{"type":"blur","seq":2},{"type":"focus","seq":3},)"
    R"({"type":"note","seq":4}]})";

const std::string kConnected = R"({"type":"status","app":"connected"})";
const std::string kUnavailable = R"({"type":"status","app":"unavailable"})";

constexpr std::size_t kLargestMessage = std::size_t{1024} * 1024;

constexpr auto kBrowserStart = 60s;  // from launch to the host's start
constexpr auto kReply = 10s;         // for any one frame or event after that
// Long enough for at least one reconnection attempt (every 2 s) to fail.
constexpr auto kAbsence = 2500ms;
constexpr auto kHostExit = 1s;  // from the extension letting go

// A message of exactly 1 MiB in the form JSON.stringify gives it, with
// text of one, two and three bytes per character.
std::string largestMessage() {
  const std::string head = R"({"type":"measure","fill":")";
  const std::string tail = "\"}";
  const std::string unit = "ostrel \xc3\xa9t\xc3\xa9 \xe2\x86\x94 0123456789 ";
  std::string message = head;
  while (message.size() + unit.size() + tail.size() <= kLargestMessage) message += unit;
  message.append(kLargestMessage - message.size() - tail.size(), 'x');
  return message + tail;
}

std::uint32_t fnv1a(const std::string& bytes) {
  std::uint32_t hash = 0x811c9dc5;
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 0x01000193;
  return hash;
}

// True when every thread of the process sleeps, waiting for an event
// (state S): none runs, is runnable or waits on the disk.
bool allThreadsAsleep(pid_t pid) {
  std::vector<pid_t> threads = common::threadIds(pid);
  for (pid_t thread : threads) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) +
                       "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S') {
      return false;
    }
  }
  return !threads.empty();
}

// One frame line of the tap's log: "14:03:27.015 host->app   25 B  {...}".
struct TapLine {
  std::string direction;
  std::size_t size = 0;
  std::string shown;  // the payload as shown, "[status] " included
};

// The tap's frame lines, by direction, in the order written; event lines
// ("-- ...") are left out.
std::map<std::string, std::vector<TapLine>> tapFrames(const std::string& path) {
  std::map<std::string, std::vector<TapLine>> frames;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    std::string time, unit;
    TapLine frame;
    if (!(fields >> time >> frame.direction) || frame.direction == "--") continue;
    if (!(fields >> frame.size >> unit) || unit != "B") continue;
    std::getline(fields >> std::ws, frame.shown);
    frames[frame.direction].push_back(frame);
  }
  return frames;
}

// Compares the lines of one direction with the payloads that passed: each
// line has the payload's size and begins with its first bytes (the tap
// shortens long ones), status messages marked.
void expectTapped(const std::vector<TapLine>& lines, const std::vector<std::string>& payloads,
                  const std::string& direction) {
  EXPECT_EQ(lines.size(), payloads.size()) << "frames logged " << direction;
  for (std::size_t i = 0; i < std::min(lines.size(), payloads.size()); ++i) {
    const std::string& payload = payloads[i];
    const bool status =
        direction == "host->browser" && (payload == kConnected || payload == kUnavailable);
    const std::string start = (status ? "[status] " : "") + payload.substr(0, 20);
    // A browser message that found the application away is marked with
    // what the host did with it.
    std::string shown = lines[i].shown;
    for (std::string_view mark :
         {"[dropped: no application] ", "[no application: kept to replay when it connects] "}) {
      if (direction == "browser->host" && shown.starts_with(mark)) shown.erase(0, mark.size());
    }
    EXPECT_EQ(lines[i].size, payload.size()) << direction << " frame " << i;
    EXPECT_EQ(shown.substr(0, start.size()), start) << direction << " frame " << i;
  }
}

std::string receive(const std::optional<AppConnection>& connection) {
  return connection ? textOf(connection->readFrame(kReply)) : "<not connected>";
}

bool send(const std::optional<AppConnection>& connection, const std::string& payload) {
  return connection && connection->sendFrame(payload);
}

class BrowserEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_FALSE(dir.empty());
  }

  void TearDown() override {
    browser.stop();
    for (pid_t stray : processesWith(marker)) ::kill(stray, SIGKILL);
  }

  // Registers the host's wrapper with the setup tool, per user under the
  // test's HOME.
  int registerHost(const std::vector<std::string>& arguments) {
    std::string command = "HOME='" + dir + "' '" OSTREL_SETUP_TOOL "' install";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    command += " >'" + dir + "/setup.log' 2>&1";
    int status = std::system(command.c_str());  // NOLINT(cert-env33-c): a fixed test command
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string browserLog() { return tailOfFile(dir + "/browser.log", 15); }

  void run(const Browser& kind, bool tapped = false);

  peers::TempDir folder;
  const std::string dir = folder.path();
  const std::string socketPath = folder.file("app.sock");
  const std::string marker = "OSTREL_SOCKET_PATH=" + socketPath;
  BrowserProcess browser;
};

void BrowserEndToEndTest::run(const Browser& kind, bool tapped) {
  std::optional<std::string> program = findProgram(kind.variable, kind.program);
  if (!program) {
    GTEST_SKIP() << kind.name << " is not installed (install the Debian package " << kind.package
                 << ")";
  }
  HostWrapper wrapper(dir);
  ASSERT_TRUE(wrapper.create(OSTREL_HOST_BINARY));
  PreparedBrowser prepared;
  std::string error;
  ASSERT_TRUE(kind.prepare(*program, dir, wrapper.path(), prepared, error)) << error;
  // Through the tap, the browser starts the tap, the tap the script, the
  // script the host.
  const std::string tapLog = dir + "/tap.log";
  if (tapped) {
    prepared.setupArguments.insert(prepared.setupArguments.end(), {"--trace", tapLog});
  }
  ASSERT_EQ(registerHost(prepared.setupArguments), 0) << tailOfFile(dir + "/setup.log", 10);
  ASSERT_TRUE(wrapper.arm());

  if (!browser.start({.command = prepared.command,
                      .logPath = dir + "/browser.log",
                      .environment = {marker, "HOME=" + dir}},
                     error)) {
    GTEST_SKIP() << kind.name << " could not start: " << error;
  }
  bool started = wrapper.awaitStart(kBrowserStart, [&] { return browser.hasExited(); });
  if (!started && browser.hasExited()) {
    GTEST_SKIP() << kind.name << " could not start here: it " << browser.exitDescription()
                 << ". The end of its output:\n"
                 << browserLog();
  }
  ASSERT_TRUE(started) << "the extension never started the host; the end of " << kind.name
                       << "'s output:\n"
                       << browserLog();

  // The application is away. The extension's "hello" and "focus" wait in
  // the host's input before the host starts; once the host has read them
  // and gone quiet, both were kept and neither reached anyone.
  const int helloAndFocus = static_cast<int>(8 + kHello.size() + kFirstFocus.size());
  EXPECT_TRUE(waitUntil([&] { return wrapper.unreadInput() == helloAndFocus; }, kReply))
      << "the host's input holds " << wrapper.unreadInput().value_or(-1) << " bytes, not "
      << helloAndFocus;
  ASSERT_TRUE(wrapper.openGate(kReply));
  // The tap gives the host a socket path of its own: the host is the
  // script's child then, and the application's peer is the tap.
  auto findHosts = [&] {
    if (!tapped) return processesWith(marker, OSTREL_HOST_BINARY);
    std::vector<pid_t> found;
    for (const common::ProcessEntry& child : common::childrenOf(wrapper.pid())) {
      if (child.state != 'Z') found.push_back(child.pid);
    }
    return found;
  };
  std::vector<pid_t> taps = processesWith(marker, OSTREL_TAP_BINARY);
  ASSERT_EQ(taps.size(), tapped ? 1U : 0U);
  std::vector<pid_t> hosts;
  ASSERT_TRUE(waitUntil(
      [&] {
        hosts = findHosts();
        return hosts.size() == 1 && wrapper.unreadInput() == 0 && allThreadsAsleep(hosts[0]);
      },
      kReply))
      << "the host did not settle with its input read";

  // The application starts: at its next attempt the host replays both.
  auto application = std::make_unique<FakeApp>(socketPath);
  ASSERT_TRUE(application->listening()) << application->error();
  std::optional<AppConnection> connection = application->accept(kReply);
  ASSERT_TRUE(connection) << "the host never connected";
  const pid_t peer = tapped ? taps[0] : hosts[0];
  EXPECT_EQ(connection->peerProcess(), peer);
  EXPECT_EQ(receive(connection), kHello);
  EXPECT_EQ(receive(connection), kFirstFocus);

  // Application to extension and back, the largest message included.
  ASSERT_TRUE(send(connection, kEcho));
  EXPECT_EQ(receive(connection), R"({"type":"echoed","message":)" + kEcho + "}");
  ASSERT_TRUE(send(connection, kSend));
  EXPECT_EQ(receive(connection), R"({"type":"blur","seq":2})");
  EXPECT_EQ(receive(connection), R"({"type":"focus","seq":3})");
  EXPECT_EQ(receive(connection), R"({"type":"note","seq":4})");
  const std::string largest = largestMessage();
  ASSERT_EQ(largest.size(), kLargestMessage);
  const std::string measured = R"({"type":"measured","bytes":)" + std::to_string(largest.size()) +
                               R"(,"fnv1a":)" + std::to_string(fnv1a(largest)) + "}";
  ASSERT_TRUE(send(connection, largest));
  EXPECT_EQ(receive(connection), measured);

  // The application quits and comes back: the host finds it again by
  // itself and replays the last "hello" and the latest focus state only.
  connection.reset();
  application.reset();
  std::this_thread::sleep_for(kAbsence);
  application = std::make_unique<FakeApp>(socketPath);
  ASSERT_TRUE(application->listening()) << application->error();
  connection = application->accept(kReply);
  ASSERT_TRUE(connection) << "the host did not reconnect";
  EXPECT_EQ(connection->peerProcess(), peer) << "a different process reconnected";
  EXPECT_EQ(receive(connection), kHello);
  EXPECT_EQ(receive(connection), R"({"type":"focus","seq":3})");

  // Everything the extension received, in order: "unavailable" first,
  // "connected" once the application came, the requests, "unavailable"
  // while it was away, "connected" again, and the request for this log.
  ASSERT_TRUE(send(connection, R"({"type":"report"})"));
  EXPECT_EQ(receive(connection), R"({"type":"report","log":[)" + kUnavailable + "," + kConnected +
                                     "," + kEcho + "," + kSend + "," + measured + "," +
                                     kUnavailable + "," + kConnected + R"(,{"type":"report"}]})");

  // The browser's own arguments reached the host and changed nothing.
  EXPECT_EQ(wrapper.arguments(), prepared.hostArguments);

  // The extension lets go: the host closes the connection and exits with 0
  // within a second, leaving no process behind.
  Clock::time_point letGo = Clock::now();
  ASSERT_TRUE(send(connection, R"({"type":"disconnect"})"));
  EXPECT_TRUE(common::readsEndOfStream(connection->fd(), kReply))
      << "the host kept the connection open";
  EXPECT_EQ(wrapper.awaitExit(kReply), "0");
  EXPECT_LT(Clock::now() - letGo, kHostExit);
  EXPECT_FALSE(common::isAlive(hosts[0]));
  EXPECT_TRUE(processesWith(marker, OSTREL_HOST_BINARY).empty()) << "a host process was left";
  EXPECT_FALSE(browser.hasExited()) << kind.name << " itself " << browser.exitDescription();
  if (!tapped) return;

  // The tap ends as the host did, and its log holds every frame of the
  // scenario in each direction, in order.
  EXPECT_TRUE(waitUntil([&] { return !common::isAlive(taps[0]); }, kReply)) << "the tap stayed";
  const std::string echoed = R"({"type":"echoed","message":)" + kEcho + "}";
  const std::string blur = R"({"type":"blur","seq":2})";
  const std::string focus = R"({"type":"focus","seq":3})";
  const std::string note = R"({"type":"note","seq":4})";
  const std::string report = R"({"type":"report","log":[)" + kUnavailable + "," + kConnected + "," +
                             kEcho + "," + kSend + "," + measured + "," + kUnavailable + "," +
                             kConnected + R"(,{"type":"report"}]})";
  std::map<std::string, std::vector<TapLine>> frames = tapFrames(tapLog);
  expectTapped(frames["browser->host"],
               {kHello, kFirstFocus, echoed, blur, focus, note, measured, report}, "browser->host");
  expectTapped(frames["host->app"],
               {kHello, kFirstFocus, echoed, blur, focus, note, measured, kHello, focus, report},
               "host->app");
  expectTapped(frames["app->host"],
               {kEcho, kSend, largest, R"({"type":"report"})", R"({"type":"disconnect"})"},
               "app->host");
  expectTapped(frames["host->browser"],
               {kUnavailable, kConnected, kEcho, kSend, largest, kUnavailable, kConnected,
                R"({"type":"report"})", R"({"type":"disconnect"})"},
               "host->browser");
  EXPECT_EQ(frames.size(), 4U) << tailOfFile(tapLog, 40);
}

TEST_F(BrowserEndToEndTest, Chromium) { run(kChromium); }

TEST_F(BrowserEndToEndTest, Firefox) { run(kFirefox); }

TEST_F(BrowserEndToEndTest, ChromiumThroughTap) { run(kChromium, true); }

}  // namespace
}  // namespace ostrel::e2e
