// The whole chain with a real browser: headless Chromium loads the test
// extension from extension/, the extension starts the host through the
// manifest that the setup tool wrote into a fresh profile folder, and a fake
// application on the socket drives the exchange and checks what both ends
// saw. The manifest names a small script that runs the host and records its
// exit status, since the browser, not the test, is the host's parent.
//
// When Chromium is missing or cannot start here, the test is skipped, never
// passed.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "chromium_process.h"
#include "fake_application.h"
#include "process_table.h"

namespace ostrel::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The id Chromium derives from the "key" in extension/manifest.json.
constexpr const char* kExtensionOrigin = "chrome-extension://gjmfcaghjdeioakbkgmilngmhhgghjel/";

// The extension's first message, as the browser serialises it: non-ASCII
// text, escapes and numbers must reach the application exactly so.
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

constexpr auto kBrowserStart = 40s;  // from launch to the host's first connection
constexpr auto kReply = 10s;         // for any one frame or event after that
// Long enough for at least one reconnection attempt (every 2 s) to fail.
constexpr auto kAbsence = 2500ms;

class BrowserEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/ostrel-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    socketPath = dir + "/app.sock";
    marker = "OSTREL_SOCKET_PATH=" + socketPath;
  }

  void TearDown() override {
    chromium.stop();
    for (pid_t stray : processesWith(marker)) ::kill(stray, SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // A script that runs the host and writes its exit status to host-exit.
  std::string writeHostWrapper() {
    std::string path = dir + "/host-wrapper";
    std::ofstream(path) << "#!/bin/sh\n"
                        << "'" OSTREL_HOST_BINARY "' \"$@\"\n"
                        << "status=$?\n"
                        << "echo \"$status\" > '" << dir << "/host-exit.part'\n"
                        << "mv '" << dir << "/host-exit.part' '" << dir << "/host-exit'\n"
                        << "exit \"$status\"\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  // Registers the wrapper in the profile folder with the setup tool.
  int registerHost(const std::string& hostPath) {
    std::string command = std::string("'" OSTREL_SETUP_TOOL "' install --user-data-dir '") + dir +
                          "/profile' --origin " + kExtensionOrigin + " --host-path '" + hostPath +
                          "' >'" + dir + "/setup.log' 2>&1";
    int status = std::system(command.c_str());  // NOLINT(cert-env33-c): a fixed test command
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::optional<std::string> awaitHostExit() {
    Clock::time_point until = Clock::now() + kReply;
    while (Clock::now() < until) {
      std::ifstream file(dir + "/host-exit");
      std::string status;
      if (std::getline(file, status)) return status;
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }

  std::string browserLog() { return tailOfFile(dir + "/chromium.log", 15); }

  std::string dir;
  std::string socketPath;
  std::string marker;
  ChromiumProcess chromium;
};

TEST_F(BrowserEndToEndTest, RelaysBothWaysOutlivesTheApplicationAndEndsWithTheExtension) {
  std::optional<std::string> program = findChromium();
  if (!program) GTEST_SKIP() << "Chromium is not installed (install the Debian package chromium)";

  ASSERT_EQ(registerHost(writeHostWrapper()), 0) << tailOfFile(dir + "/setup.log", 10);
  FakeApplication application(socketPath);
  ASSERT_TRUE(application.listen());

  std::string error;
  if (!chromium.start({.program = *program,
                       .userDataDir = dir + "/profile",
                       .extensionDir = OSTREL_E2E_EXTENSION,
                       .logPath = dir + "/chromium.log",
                       .environment = {marker, "HOME=" + dir}},
                      error)) {
    GTEST_SKIP() << "Chromium could not start: " << error;
  }
  bool connected = application.accept(kBrowserStart, [&] { return chromium.hasExited(); });
  if (!connected && chromium.hasExited()) {
    GTEST_SKIP() << "Chromium could not start here: it " << chromium.exitDescription()
                 << ". The end of its output:\n"
                 << browserLog();
  }
  ASSERT_TRUE(connected) << "the host never connected; the end of Chromium's output:\n"
                         << browserLog();
  std::optional<pid_t> host = application.peerProcess();
  ASSERT_TRUE(host);

  // Browser to application, byte for byte, in order.
  EXPECT_EQ(application.receive(kReply), kHello);
  EXPECT_EQ(application.receive(kReply), kFirstFocus);

  // Application to extension and back.
  ASSERT_TRUE(application.send(kEcho));
  EXPECT_EQ(application.receive(kReply), R"({"type":"echoed","message":)" + kEcho + "}");
  ASSERT_TRUE(application.send(kSend));
  EXPECT_EQ(application.receive(kReply), R"({"type":"blur","seq":2})");
  EXPECT_EQ(application.receive(kReply), R"({"type":"focus","seq":3})");
  EXPECT_EQ(application.receive(kReply), R"({"type":"note","seq":4})");

  // The application quits and comes back: the host finds it again by
  // itself and replays the last "hello" and the latest focus state only.
  application.goAway();
  std::this_thread::sleep_for(kAbsence);
  ASSERT_TRUE(application.listen());
  ASSERT_TRUE(application.accept(kReply)) << "the host did not reconnect";
  EXPECT_EQ(application.peerProcess(), host) << "a different process reconnected";
  EXPECT_EQ(application.receive(kReply), kHello);
  EXPECT_EQ(application.receive(kReply), R"({"type":"focus","seq":3})");

  // Everything the extension received, in order: the start-up status, the
  // two requests, one "unavailable" while the application was away,
  // "connected" once it was back, and the request for this very log.
  ASSERT_TRUE(application.send(R"({"type":"report"})"));
  EXPECT_EQ(application.receive(kReply), R"({"type":"report","log":[)" + kConnected + "," + kEcho +
                                             "," + kSend + "," + kUnavailable + "," + kConnected +
                                             R"(,{"type":"report"}]})");

  // The extension lets go: the host closes the connection and exits with 0.
  ASSERT_TRUE(application.send(R"({"type":"disconnect"})"));
  EXPECT_TRUE(application.awaitClose(kReply)) << "the host kept the connection open";
  EXPECT_EQ(awaitHostExit(), "0");
  EXPECT_FALSE(isAlive(*host));
  EXPECT_TRUE(processesWith(marker, OSTREL_HOST_BINARY).empty()) << "a host process was left";
  EXPECT_FALSE(chromium.hasExited()) << "Chromium itself " << chromium.exitDescription();
}

}  // namespace
}  // namespace ostrel::e2e
