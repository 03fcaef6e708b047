// The host's threads are a fixed budget: all of them exist once it has
// started, a disconnect needs no new one, and programs that "open_app"
// starts cost none each, however many run at once and however long.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "fault_support.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesIn(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// Were the reconnection thread started only once it was needed, a moment
// without threads (a process limit, briefly reached) would leave the host
// unable ever to reconnect.
TEST_F(ConnectedHostTest, EveryThreadExistsFromTheStartAndADisconnectAddsNone) {
  const std::size_t atStart = threadIds(host.pid()).size();
  connection->close();
  ASSERT_EQ(host.readFrame(), bytesOf(kUnavailable));
  connection = app.accept();  // the timer's thread brings it back
  ASSERT_TRUE(connection);
  ASSERT_EQ(host.readFrame(), bytesOf(kConnected));
  EXPECT_EQ(threadIds(host.pid()).size(), atStart);
  expectCleanExit();
}

constexpr int kPrograms = 200;

TEST(LaunchedPrograms, ManyRunningAtOnceCostNoThreadAndLeaveNoZombie) {
  TempDir dir;
  const std::string log = dir.file("launches.log");
  const std::string release = dir.file("release.fifo");
  ASSERT_EQ(::mkfifo(release.c_str(), 0600), 0);
  // Held open for writing (O_RDWR does not wait for a reader) until the
  // programs are to end.
  const int releaseWriter = ::open(release.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(releaseWriter, 0);
  const std::string socket = dir.file("app.sock");
  FakeApp app(socket);
  HostProcess host(OSTREL_LINGERING_APP_HOST, {{"OSTREL_SOCKET_PATH", socket},
                                               {"OSTREL_LINGERING_LOG", log},
                                               {"OSTREL_FAULT_RELEASE", release}});
  ASSERT_TRUE(host.started());
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  ASSERT_EQ(host.readFrame(), bytesOf(kConnected));
  const std::size_t threadsBefore = threadIds(host.pid()).size();

  for (int i = 0; i < kPrograms; ++i) ASSERT_TRUE(host.sendFrame(R"({"type":"open_app"})"));
  EXPECT_TRUE(waitUntil([&] { return linesIn(log).size() == kPrograms; }, 30s))
      << linesIn(log).size() << " programs started";
  const std::vector<std::string> lines = linesIn(log);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "default"), kPrograms)
      << "every program starts with every signal at its default";
  EXPECT_EQ(childrenOf(host.pid()).size(), std::size_t{kPrograms}) << "all of them still run";
  EXPECT_EQ(threadIds(host.pid()).size(), threadsBefore) << "and cost the host no thread";

  ASSERT_EQ(::close(releaseWriter), 0);
  std::vector<ProcessEntry> children;
  EXPECT_TRUE(waitUntil(
      [&] {
        children = childrenOf(host.pid());
        return children.empty();
      },
      30s))
      << children.size() << " children left, the first in state "
      << (children.empty() ? '-' : children.front().state);
  EXPECT_TRUE(endsCleanly(host));
}

}  // namespace
}  // namespace ostrel::tests
