// Signals whose handlers interrupt system calls, aimed at every thread of
// the host while frames of all sizes stream through it in both directions:
// every frame arrives whole and unchanged, in order, exactly once. The host
// here is a twin of the real one with handlers for SIGUSR1 and SIGUSR2
// installed without SA_RESTART.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "fault_support.h"

namespace ostrel::tests {
namespace {

constexpr std::uint32_t kFrames = 120;

// Sizes from empty to well past the 64 KiB that one read or one pipe holds.
std::size_t sizeOf(std::uint32_t index) {
  if (index % 10 == 0) return 0;
  if (index % 10 == 1) return 65536 + (index % 3) - 1;
  return (static_cast<std::size_t>(index) * 40503U) % (std::size_t{160} * 1024);
}

// True when `pid` has a handler installed for `signal`.
bool catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (signal - 1)) & 1U;
    }
  }
  return false;
}

TEST(InterruptedTraffic, SignalsDuringHeavyTrafficLoseOrRepeatNoByte) {
  if (!std::filesystem::exists("/proc/self/status")) {
    GTEST_SKIP() << "signals single threads of the host and reads /proc, which only Linux can";
  }
  TempDir dir;
  const std::string socketPath = dir.file("app.sock");
  FakeApp app(socketPath);
  HostProcess host(OSTREL_INTERRUPTIBLE_HOST, {{"OSTREL_SOCKET_PATH", socketPath}});
  ASSERT_TRUE(host.started());
  std::optional<AppConnection> connection = app.accept();
  ASSERT_TRUE(connection);
  ASSERT_EQ(host.readFrame(), bytesOf(kConnected));
  ASSERT_TRUE(catches(host.pid(), SIGUSR1));

  std::atomic<bool> trafficDone{false};
  std::atomic<long> signalsSent{0};
  std::thread interrupter([&] {
    const pid_t pid = host.pid();
    for (long round = 0; !trafficDone.load(); ++round) {
      for (const pid_t thread : threadIds(pid)) {
        const int signal = (round % 2 == 0) ? SIGUSR1 : SIGUSR2;
        if (signalThread(pid, thread, signal)) ++signalsSent;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));  // pacing only
    }
  });
  std::thread browserWriter([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      if (!host.send(frameOfBytes(patternPayload(i, sizeOf(i))))) {
        ADD_FAILURE() << "browser write " << i << " failed";
        return;
      }
    }
  });
  std::thread appWriter([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      if (!connection->send(frameOfBytes(patternPayload(kFrames + i, sizeOf(i))))) {
        ADD_FAILURE() << "application write " << i << " failed";
        return;
      }
    }
  });
  std::thread appReader([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      const std::optional<Bytes> frame = connection->readFrame();
      if (!frame || *frame != patternPayload(i, sizeOf(i))) {
        ADD_FAILURE() << "browser frame " << i << " reached the application "
                      << (frame ? "changed" : "not at all");
        return;
      }
    }
  });
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const std::optional<Bytes> frame = host.readFrame();
    if (!frame || *frame != patternPayload(kFrames + i, sizeOf(i))) {
      ADD_FAILURE() << "application frame " << i << " reached the browser "
                    << (frame ? "changed" : "not at all");
      break;
    }
  }
  // After a failure the peers' threads may wait for the host forever.
  if (testing::Test::HasFailure()) ::kill(host.pid(), SIGKILL);
  browserWriter.join();
  appWriter.join();
  appReader.join();
  trafficDone = true;
  interrupter.join();
  EXPECT_GT(signalsSent.load(), 100);
  std::cout << "signals sent to the host's threads: " << signalsSent.load() << "\n";

  EXPECT_TRUE(host.staysQuiet(std::chrono::milliseconds(100)));  // nothing repeated at the end
  EXPECT_TRUE(endsCleanly(host));
}

}  // namespace
}  // namespace ostrel::tests
