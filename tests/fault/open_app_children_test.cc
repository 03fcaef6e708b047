// Repeated "open_app" messages: every launch happens, and every launched
// process is reaped, so no zombie is left behind and the host's helper
// threads come and go.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fault_support.h"

namespace ostrel::tests {
namespace {

constexpr int kLaunches = 60;

int linesIn(const std::string& path) {
  std::ifstream file(path);
  int lines = 0;
  for (std::string line; std::getline(file, line);) ++lines;
  return lines;
}

TEST(OpenAppChildren, RepeatedLaunchesLeaveNoZombies) {
  TempDir dir;
  // The host must lie three levels below a bundle for "open_app" to act.
  const std::filesystem::path bundle = std::filesystem::path(dir.path()) / "Example.app";
  const std::filesystem::path executable = bundle / "Contents" / "MacOS" / "ostrel-native-host";
  std::filesystem::create_directories(executable.parent_path());
  std::filesystem::copy_file(OSTREL_RECORDING_HOST, executable);
  const std::string log = dir.file("launches.log");
  const std::string socketPath = dir.file("app.sock");
  FakeApp app(socketPath);
  HostProcess host(executable.string(),
                   {{"OSTREL_SOCKET_PATH", socketPath}, {"OSTREL_TEST_LAUNCH_RECORD", log}});
  ASSERT_TRUE(host.started());
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  ASSERT_EQ(host.readFrame(), bytesOf(kConnected));
  const std::size_t threadsBefore = threadIds(host.pid()).size();

  for (int i = 0; i < kLaunches; ++i) ASSERT_TRUE(host.sendFrame(R"({"type":"open_app"})"));
  // "open_app" is not forwarded: the next message is the first the
  // application sees.
  ASSERT_TRUE(host.sendFrame(R"({"type":"after"})"));
  EXPECT_EQ(connection->readFrame(), bytesOf(R"({"type":"after"})"));

  EXPECT_TRUE(waitUntil([&] { return linesIn(log) == kLaunches; }))
      << linesIn(log) << " launches recorded";
  std::ifstream records(log);
  std::string first;
  std::getline(records, first);
  EXPECT_TRUE(first.starts_with(bundle.string() + " stdin=")) << first;

  std::vector<ProcessEntry> children;
  const bool allReaped = waitUntil([&] {
    children = childrenOf(host.pid());
    return children.empty();
  });
  EXPECT_TRUE(allReaped) << children.size() << " children left, the first in state "
                         << (children.empty() ? '-' : children.front().state);
  std::size_t threads = 0;
  const bool helpersGone = waitUntil([&] {
    threads = threadIds(host.pid()).size();
    return threads <= threadsBefore;
  });
  EXPECT_TRUE(helpersGone) << threads << " threads, " << threadsBefore << " before the launches";

  EXPECT_TRUE(endsCleanly(host));
}

}  // namespace
}  // namespace ostrel::tests
