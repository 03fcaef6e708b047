// ostrel-standin-app run as a real process, talked to over a real socket.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "channel/std_streams.h"
#include "platform/descriptors.h"
#include "tool_process.h"
#include "tools/common/frame_splitter.h"

namespace ostrel::standins {
namespace {

using tests::TempDir;
using tests::ToolProcess;

int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void sendFrame(int fd, std::span<const std::uint8_t> payload) {
  ASSERT_TRUE(ostrel::writeAll(fd, frameMessage(payload)));
}

// The next `count` frames from `fd`, waiting at most the test deadline.
std::vector<std::vector<std::uint8_t>> receiveFrames(int fd, std::size_t count) {
  common::FrameSplitter splitter;
  std::vector<std::vector<std::uint8_t>> frames;
  const auto deadline = std::chrono::steady_clock::now() + tests::kDeadline;
  while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, 100) <= 0) continue;
    const std::span<std::uint8_t> room = splitter.room(4096);
    const ssize_t n = ::read(fd, room.data(), room.size());
    if (n <= 0) break;
    splitter.commit(static_cast<std::size_t>(n));
    while (const auto frame = splitter.next()) frames.emplace_back(frame->begin(), frame->end());
  }
  return frames;
}

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(StandinApp, EchoesEveryFrameAndPrintsItReadably) {
  TempDir dir;
  const std::string path = dir.path() + "/sub/app.sock";  // the folder is created
  ToolProcess app({OSTREL_STANDIN_APP, "--echo", "--socket", path});
  ASSERT_TRUE(app.waitForOutput("listening on " + path)) << app.err();
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);

  const std::vector<std::uint8_t> binary = {0x00, 0x01, 0xfe, 0xff};
  const std::vector<std::uint8_t> big(300000, 'x');  // more than one socket buffer
  sendFrame(fd, bytes(R"({"type":"ping"})"));
  sendFrame(fd, binary);
  sendFrame(fd, big);
  const auto echoed = receiveFrames(fd, 3);
  ASSERT_EQ(echoed.size(), 3u);
  EXPECT_EQ(echoed[0], bytes(R"({"type":"ping"})"));
  EXPECT_EQ(echoed[1], binary);
  EXPECT_EQ(echoed[2], big);

  ASSERT_TRUE(app.waitForOutput("app ← host  #1  300000 B"));
  EXPECT_NE(app.out().find(R"(app ← host  #1  15 B  {"type":"ping"})"), std::string::npos);
  EXPECT_NE(app.out().find("app ← host  #1  4 B  hex: 00 01 fe ff"), std::string::npos);
  closeDescriptor(fd);
  EXPECT_TRUE(app.waitForOutput("host disconnected (#1)"));
}

TEST(StandinApp, SendsTypedLinesAndStopsCleanlyOnCtrlC) {
  TempDir dir;
  const std::string path = dir.path() + "/app.sock";
  ToolProcess app({OSTREL_STANDIN_APP, "--socket", path});
  ASSERT_TRUE(app.waitForOutput("listening on"));
  app.write("{\"type\":\"early\"}\n");  // no host yet: held for the connection
  ASSERT_TRUE(app.waitForOutput("no host connected"));
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  app.write("/frobnicate\nnot json\n/help\n{\"type\":\"pong\"}\r\n/close\n");
  const auto frames = receiveFrames(fd, 3);
  ASSERT_EQ(frames.size(), 2u);  // then the connection ends
  EXPECT_EQ(frames[0], bytes(R"({"type":"early"})"));
  EXPECT_EQ(frames[1], bytes(R"({"type":"pong"})")) << "neither refused line was sent";
  EXPECT_TRUE(app.waitForOutput("unknown command /frobnicate", true)) << app.err();
  EXPECT_TRUE(app.waitForOutput("not sent, not JSON (--raw sends it anyway): not json", true));
  EXPECT_TRUE(app.waitForOutput("commands: /close"));
  closeDescriptor(fd);

  app.signal(SIGINT);
  const auto status = app.wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << app.err();
  struct stat gone;
  EXPECT_NE(::lstat(path.c_str(), &gone), 0) << "the socket file is removed";
}

TEST(StandinApp, RefusesToTakeOverAPathInUse) {
  TempDir dir;
  const std::string path = dir.path() + "/app.sock";
  ToolProcess first({OSTREL_STANDIN_APP, "--socket", path});
  ASSERT_TRUE(first.waitForOutput("listening on"));
  ToolProcess second({OSTREL_STANDIN_APP, "--socket", path});
  const auto status = second.wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_NE(second.err().find("another program is already listening on " + path),
            std::string::npos);

  const std::string plainFile = tests::writeScript(dir, "not-a-socket", "");
  ToolProcess third({OSTREL_STANDIN_APP, "--socket", plainFile});
  ASSERT_TRUE(third.wait());
  EXPECT_NE(third.err().find("is not a socket"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::standins
