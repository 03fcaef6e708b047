// The built host as a browser runs it: a child process with pipes on its
// standard streams, and a fake application on a real socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "support/test_support.h"
#include "tools/common/process_table.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class HostBinaryTest : public testing::Test {
 protected:
  HostProcess& start(
      std::vector<std::string> arguments = {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
      const std::string& executable = hostExecutable()) {
    host_ = std::make_unique<HostProcess>(
        executable, std::map<std::string, std::string>{{"OSTREL_SOCKET_PATH", socket_}},
        std::move(arguments));
    EXPECT_TRUE(host_->started());
    return *host_;
  }
  // Starts the host with the application listening, and accepts the
  // connection it makes at start-up into connection_.
  HostProcess& startConnected() {
    app_ = std::make_unique<FakeApp>(socket_);
    HostProcess& host = start();
    EXPECT_EQ(textOf(host.readFrame()), kConnected);
    if (auto accepted = app_->accept()) connection_ = std::move(*accepted);
    EXPECT_GE(connection_.fd(), 0);
    return host;
  }
  // Ends the host through its standard input, as a browser does.
  void expectCleanExit() { expectCleanExitOf(*host_); }
  static void expectCleanExitOf(HostProcess& host) {
    host.closeInput();
    EXPECT_TRUE(exitedWithZero(host.waitExit()));
    EXPECT_EQ(host.errorOutput(), "");
  }

  TempDir dir_;
  std::string socket_ = dir_.file("app.sock");
  std::unique_ptr<FakeApp> app_;
  AppConnection connection_{-1};
  std::unique_ptr<HostProcess> host_;
};

TEST_F(HostBinaryTest, WithoutTheApplicationItSaysUnavailableAndExitsZeroAtEndOfInput) {
  for (auto arguments : std::vector<std::vector<std::string>>{
           {},
           {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
           {"/path/to/manifest.json", "addon@example.org"},
           {"--help"},
           {"-x", "--version", ""}}) {
    HostProcess& host = start(arguments);
    const auto first = host.readFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(textOf(*first), kUnavailable);
    host.sendFrame(R"({"type":"hello"})");
    expectCleanExit();
  }
}

TEST_F(HostBinaryTest, ForwardsBrowserPayloadsByteForByte) {
  HostProcess& host = startConnected();
  const std::vector<std::string> payloads = {
      " {\"type\" : \"hello\",\n \"extra\": [1, 2.50, \"\\u00e9\"] } ",
      "",
      "not json at all",
      "{\"type\":\"h\xff\xfe\"}",
      "[1,2]",
      R"({"type":7})",
      std::string(200000, '['),
      R"({"type":"Open_app"})",
  };
  for (const auto& payload : payloads) ASSERT_TRUE(host.sendFrame(payload));
  for (const auto& payload : payloads) {
    auto received = connection_.readFrame();
    ASSERT_TRUE(received);
    EXPECT_EQ(textOf(*received), payload);
  }
  expectCleanExit();
  EXPECT_TRUE(readsEndOfStream(connection_.fd())) << "the connection is closed at exit";
}

TEST_F(HostBinaryTest, RelaysApplicationFramesWrittenInAwkwardSplits) {
  HostProcess& host = startConnected();

  std::mt19937 random(12345);
  std::vector<std::string> payloads;
  Bytes stream;
  for (int i = 0; i < 300; ++i) {
    const std::size_t size = i % 50 == 0 ? 300000 : random() % 3000;
    std::string payload =
        std::to_string(i) + ":" + std::string(size, static_cast<char>('a' + i % 26));
    const Bytes frame = frameOf(payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
    payloads.push_back(std::move(payload));
  }
  std::thread writer([&] {
    std::mt19937 splits(777);
    for (std::size_t offset = 0; offset < stream.size();) {
      const std::size_t piece = std::min<std::size_t>(1 + splits() % 9000, stream.size() - offset);
      if (!connection_.send(Bytes(stream.begin() + offset, stream.begin() + offset + piece)))
        return;
      offset += piece;
    }
  });
  for (const auto& payload : payloads) {
    auto received = host.readFrame();
    ASSERT_TRUE(received);
    ASSERT_EQ(textOf(*received), payload);
  }
  writer.join();
  expectCleanExit();
}

TEST_F(HostBinaryTest, ABrowserFrameOverTheLimitEndsTheHostWithZero) {
  HostProcess& host = start();
  ASSERT_TRUE(host.readFrame());
  ASSERT_TRUE(host.send(Bytes{0x01, 0x00, 0x10, 0x00}));
  EXPECT_TRUE(exitedWithZero(host.waitExit()));
  EXPECT_EQ(host.errorOutput(), "");
}

TEST_F(HostBinaryTest, AcceptsABrowserFrameOfExactlyTheLimit) {
  HostProcess& host = startConnected();
  const std::string big = R"({"type":"big","data":")" + std::string(1048576 - 24, 'd') + "\"}";
  ASSERT_EQ(big.size(), 1048576u);
  std::thread sender([&] { host.sendFrame(big); });
  auto received = connection_.readFrame();
  sender.join();
  ASSERT_TRUE(received);
  EXPECT_EQ(textOf(*received), big);
  expectCleanExit();
}

TEST_F(HostBinaryTest, EmptySocketPathVariableIsUsedAsIsAndTheDefaultFollowsHome) {
  const std::string home = dir_.path() + "/home";
  fs::create_directories(home + "/Library/Application Support/ostrel");
  FakeApp app(home + "/Library/Application Support/ostrel/browser.sock");
  {
    HostProcess host(hostExecutable(), {{"HOME", home}, {"OSTREL_SOCKET_PATH", ""}});
    EXPECT_EQ(textOf(host.readFrame()), kUnavailable);
    host.closeInput();
    EXPECT_TRUE(exitedWithZero(host.waitExit()));
  }
  HostProcess host(hostExecutable(), {{"HOME", home}, {"OSTREL_SOCKET_PATH", "\x01unset"}});
  EXPECT_EQ(textOf(host.readFrame()), kConnected);
  host.closeInput();
  EXPECT_TRUE(exitedWithZero(host.waitExit()));
}

TEST_F(HostBinaryTest, KeepsRelayingToTheApplicationWhenTheBrowserStopsListening) {
  HostProcess& host = startConnected();
  host.closeOutput();
  connection_.sendFrame(R"({"to":"nobody"})");  // the write to the browser fails quietly
  host.sendFrame(R"({"type":"still"})");
  EXPECT_EQ(textOf(connection_.readFrame()), R"({"type":"still"})");
  expectCleanExit();
}

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Children of `pid` that have ended but were not reaped.
int zombieChildren(pid_t pid) {
  int zombies = 0;
  for (const common::ProcessEntry& child : common::childrenOf(pid)) zombies += child.state == 'Z';
  return zombies;
}

// The recorder's line for a launch cut off from everything the host holds.
std::string isolatedLaunch(const std::string& arguments) {
  return arguments + " stdin=/dev/null stdout=/dev/null sigpipe=default mask=empty inherited=none";
}

// A copy of `host` three levels below Example.app in `dir`; its path.
std::string placeInBundle(const std::string& dir, const std::string& host) {
  const std::string executable = dir + "/Example.app/Contents/MacOS/ostrel-native-host";
  fs::create_directories(fs::path(executable).parent_path());
  fs::copy_file(host, executable);
  return executable;
}

TEST_F(HostBinaryTest, OpenAppLaunchesTheEnclosingBundleDetachedFromTheBrowsersPipes) {
  const std::string executable = placeInBundle(dir_.path(), OSTREL_RECORDING_HOST);
  const std::string record = dir_.file("launches.txt");
  FakeApp app(socket_);
  // Descriptor 3 stands for a pipe that a browser leaves open in the host.
  HostProcess host(OSTREL_DESCRIPTOR_LAUNCHER,
                   {{"OSTREL_SOCKET_PATH", socket_}, {"OSTREL_TEST_LAUNCH_RECORD", record}},
                   {"--inherit", "3", "--", executable});
  ASSERT_EQ(textOf(host.readFrame()), kConnected);
  auto connection = app.accept();
  ASSERT_TRUE(connection);

  for (int i = 0; i < 3; ++i) host.sendFrame(R"({"type":"open_app","why":"test"})");
  host.sendFrame(R"({"type":"after"})");
  EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"after"})") << "open_app is not forwarded";
  ASSERT_TRUE(waitUntil([&] { return readLines(record).size() == 3; }));
  const std::string bundle = fs::canonical(dir_.path() + "/Example.app").string();
  for (const auto& line : readLines(record)) EXPECT_EQ(line, isolatedLaunch(bundle));
  EXPECT_TRUE(waitUntil([&] { return zombieChildren(host.pid()) == 0; }));

  host.closeInput();
  EXPECT_TRUE(exitedWithZero(host.waitExit()));
  EXPECT_EQ(host.errorOutput(), "");
}

TEST_F(HostBinaryTest, OpenAppStillFindsTheBundleOnceTheExecutableIsReplaced) {
  const std::string executable = placeInBundle(dir_.path(), OSTREL_RECORDING_HOST);
  const std::string record = dir_.file("launches.txt");
  HostProcess host(executable,
                   {{"OSTREL_SOCKET_PATH", socket_}, {"OSTREL_TEST_LAUNCH_RECORD", record}});
  ASSERT_EQ(textOf(host.readFrame()), kUnavailable);
  ASSERT_TRUE(fs::remove(executable));  // as a package upgrade does while a browser runs
  host.sendFrame(R"({"type":"open_app"})");
  ASSERT_TRUE(waitUntil([&] { return readLines(record).size() == 1; }));
  EXPECT_EQ(readLines(record)[0],
            isolatedLaunch(fs::canonical(dir_.path() + "/Example.app").string()));
  expectCleanExitOf(host);
}

TEST_F(HostBinaryTest, OpenAppOutsideABundleRunsTheApplicationCommandWhenOneIsBuiltIn) {
  const std::string record = dir_.file("launches.txt");
  HostProcess host(OSTREL_APP_COMMAND_HOST,
                   {{"OSTREL_SOCKET_PATH", socket_}, {"OSTREL_TEST_LAUNCH_RECORD", record}});
  ASSERT_EQ(textOf(host.readFrame()), kUnavailable);
  host.sendFrame(R"({"type":"open_app"})");
  ASSERT_TRUE(waitUntil([&] { return readLines(record).size() == 1; }));
  EXPECT_EQ(readLines(record)[0],
            isolatedLaunch(R"(--started-by|app command|with "quotes"|back\slash)"));
  EXPECT_TRUE(waitUntil([&] { return zombieChildren(host.pid()) == 0; }));
  expectCleanExitOf(host);
}

TEST_F(HostBinaryTest, OpenAppOutsideABundleDoesNothing) {
  // The recording host lies in no bundle and has no application command,
  // so "open_app" has nothing to start. Its record is a FIFO that nobody
  // reads: a recorder started all the same would block opening it, and
  // still be the host's child once the next message has gone through.
  const std::string record = dir_.file("launches.fifo");
  ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0);
  app_ = std::make_unique<FakeApp>(socket_);
  HostProcess host(OSTREL_RECORDING_HOST,
                   {{"OSTREL_SOCKET_PATH", socket_}, {"OSTREL_TEST_LAUNCH_RECORD", record}});
  ASSERT_EQ(textOf(host.readFrame()), kConnected);
  std::optional<AppConnection> connection = app_->accept();
  ASSERT_TRUE(connection);
  ASSERT_TRUE(host.sendFrame(R"({"type":"open_app"})"));
  ASSERT_TRUE(host.sendFrame(R"({"type":"next"})"));
  EXPECT_EQ(textOf(connection->readFrame()), R"({"type":"next"})") << "open_app is not forwarded";
  EXPECT_TRUE(common::childrenOf(host.pid()).empty()) << "something was launched";
  // Lets a recorder that was started all the same end.
  const int reader = ::open(record.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(reader, 0);
  expectCleanExitOf(host);
  if (reader >= 0) ::close(reader);
}

TEST_F(HostBinaryTest, EveryDescriptorTheHostOpensIsCloseOnExec) {
  if (!fs::exists("/proc/self/fdinfo"))
    GTEST_SKIP() << "reads /proc/PID/fdinfo, which only Linux has";
  HostProcess& host = startConnected();
  const fs::path fdinfo = "/proc/" + std::to_string(host.pid()) + "/fdinfo";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(fdinfo)) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd <= 2) continue;
    std::ifstream info(entry.path());
    std::string key;
    std::string flags;
    while (info >> key >> flags && key != "flags:") {
    }
    EXPECT_NE(std::stoul(flags, nullptr, 8) & 02000000, 0u) << "descriptor " << fd;
    ++checked;
  }
  EXPECT_GE(checked, 3) << "the socket and two wake-up pipe ends at least";
  expectCleanExit();
}

}  // namespace
}  // namespace ostrel::tests
