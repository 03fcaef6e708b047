// The built tap, started as a browser would start it, running the real
// host (or a stand-in program) against a fake application: what passes
// must pass unchanged, the browser must see what it sees without the tap,
// and the log must name every frame.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "support/test_support.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;

const std::string kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

class TapTest : public testing::Test {
 protected:
  HostProcess& startTap(const std::string& host = hostExecutable()) {
    tap_ = std::make_unique<HostProcess>(
        OSTREL_TAP_EXECUTABLE, std::map<std::string, std::string>{{"OSTREL_SOCKET_PATH", socket_}},
        std::vector<std::string>{"--log", log_, "--host", host, "--", kOrigin});
    EXPECT_TRUE(tap_->started());
    return *tap_;
  }

  // The log's lines without their time stamps.
  std::vector<std::string> logLines() const {
    std::ifstream file(log_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
      lines.push_back(line.substr(line.find(' ') + 1));
    }
    return lines;
  }

  // The frame lines of one direction, white space squeezed.
  std::vector<std::string> framesOf(const std::string& direction) const {
    std::vector<std::string> frames;
    for (const std::string& line : logLines()) {
      std::istringstream words(line);
      std::string word, squeezed;
      words >> word;
      if (word != direction) continue;
      while (words >> word) squeezed += (squeezed.empty() ? "" : " ") + word;
      frames.push_back(squeezed);
    }
    return frames;
  }

  TempDir dir_;
  std::string socket_ = dir_.file("app.sock");
  std::string log_ = dir_.file("tap.log");
  std::unique_ptr<HostProcess> tap_;
};

TEST_F(TapTest, RelaysEveryByteBothWaysAndLogsEachFrameInOrder) {
  FakeApp app(socket_);
  ASSERT_TRUE(app.listening()) << app.error();
  HostProcess& tap = startTap();
  EXPECT_EQ(textOf(tap.readFrame()), kConnected);
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->peerProcess(), tap.pid()) << "the application's peer is the tap";

  const std::string hello = "{ \"type\" : \"hello\", \"text\": \"h\xc3\xa9llo\" }";
  const std::string binary("\x00\xff\x01\n", 4);
  ASSERT_TRUE(tap.sendFrame(hello));
  ASSERT_TRUE(tap.sendFrame(binary));
  EXPECT_EQ(textOf(connection->readFrame()), hello);
  EXPECT_EQ(textOf(connection->readFrame()), binary);
  ASSERT_TRUE(connection->sendFrame(R"({"type":"reply"})"));
  EXPECT_EQ(textOf(tap.readFrame()), R"({"type":"reply"})");
  EXPECT_TRUE(endsCleanly(tap));
  EXPECT_TRUE(readsEndOfStream(connection->fd()));

  const std::vector<std::string> sent = {std::to_string(hello.size()) + " B " + hello,
                                         "4 B hex: 00 ff 01 0a"};
  EXPECT_EQ(framesOf("browser->host"), sent);
  EXPECT_EQ(framesOf("host->app"), sent);
  EXPECT_EQ(framesOf("app->host"), std::vector<std::string>{R"(16 B {"type":"reply"})"});
  EXPECT_EQ(framesOf("host->browser"),
            (std::vector<std::string>{"35 B [status] " + std::string(kConnected),
                                      R"(16 B {"type":"reply"})"}));
  std::vector<std::string> lines = logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "-- host exited with status 0");
}

// The tap's socket exists only while the application listens, so the
// host's attempts fail and succeed as they would without the tap: no
// "connected" for an application that is not there.
TEST_F(TapTest, TheBrowserSeesTheApplicationComeAndGoAsWithoutTheTap) {
  HostProcess& tap = startTap();
  EXPECT_EQ(textOf(tap.readFrame()), kUnavailable);
  EXPECT_TRUE(tap.staysQuiet(2500ms)) << "a failed attempt was reported";

  auto app = std::make_unique<FakeApp>(socket_);
  ASSERT_TRUE(app->listening()) << app->error();
  EXPECT_EQ(textOf(tap.readFrame(5s)), kConnected);
  std::optional<AppConnection> connection = app->accept();
  ASSERT_TRUE(connection);

  connection.reset();
  app.reset();
  EXPECT_EQ(textOf(tap.readFrame()), kUnavailable);
  EXPECT_TRUE(tap.staysQuiet(2500ms)) << "the host reached a tap socket with nothing behind it";
  EXPECT_TRUE(endsCleanly(tap));
}

// Whatever the program is: bytes that are no frames pass unchanged, and
// the tap ends as the program ended.
TEST_F(TapTest, PassesBytesThatAreNoFramesAndTheHostsEnd) {
  const std::string copier = dir_.file("copier.sh");
  std::ofstream(copier) << "#!/bin/sh\nexec cat\n";
  ASSERT_EQ(::chmod(copier.c_str(), 0755), 0);
  HostProcess& cat = startTap(copier);
  Bytes junk = {0x01, 0x00, 0x00, 0x00, 'x', 0xff, 0xff, 0xff, 0x7f, 'y', 'z'};
  ASSERT_TRUE(cat.send(junk));
  EXPECT_EQ(readBytes(cat.output(), junk.size()), junk);
  EXPECT_TRUE(endsCleanly(cat));
  std::string log;
  for (const std::string& line : logLines()) log += line + "\n";
  EXPECT_NE(log.find("over the 1 MiB limit"), std::string::npos) << log;

  const std::string script = dir_.file("ender.sh");
  std::ofstream(script) << "#!/bin/sh\n[ \"$1\" = exit ] && exit 7\nkill -TERM $$\n";
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  for (const char* how : {"exit", "signal"}) {
    tap_ = std::make_unique<HostProcess>(
        OSTREL_TAP_EXECUTABLE, std::map<std::string, std::string>{},
        std::vector<std::string>{"--log", log_, "--host", script, "--", how});
    std::optional<int> status = tap_->waitExit();
    ASSERT_TRUE(status) << how;
    if (std::string(how) == "exit") {
      EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 7);
    } else {
      EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    }
  }
}

}  // namespace
}  // namespace ostrel::tests
