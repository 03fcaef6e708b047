// The built tap, started as a browser would start it, running the real
// host (or a stand-in program) against a fake application: what passes
// must pass unchanged, the browser must see what it sees without the tap,
// and the log must name every frame.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foreign_listener.h"
#include "platform/descriptors.h"
#include "support/test_support.h"
#include "tools/common/trusted_path.h"

namespace ostrel::tests {
namespace {

using namespace std::chrono_literals;

const std::string kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

class TapTest : public testing::Test {
 protected:
  HostProcess& startTap(const std::string& host = hostExecutable(),
                        std::map<std::string, std::string> environment = {}) {
    environment.emplace("OSTREL_SOCKET_PATH", socket_);
    tap_ = std::make_unique<HostProcess>(
        OSTREL_TAP_EXECUTABLE, environment,
        std::vector<std::string>{"--log", log_, "--host", host, "--", kOrigin});
    EXPECT_TRUE(tap_->started());
    return *tap_;
  }

  // The tap started with `app` listening: the host has reported it
  // connected, and the application has taken the connection.
  std::optional<AppConnection> startConnected(const FakeApp& app) {
    EXPECT_TRUE(app.listening()) << app.error();
    EXPECT_EQ(textOf(startTap().readFrame()), kConnected);
    return app.accept();
  }

  // The index of the first line from `from` on that starts with `start`;
  // lines.size() when none does.
  static std::size_t lineAt(const std::vector<std::string>& lines, const std::string& start,
                            std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i) {
      if (lines[i].starts_with(start)) return i;
    }
    return lines.size();
  }

  static std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
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
  std::optional<AppConnection> connection = startConnected(app);
  ASSERT_TRUE(connection);
  HostProcess& tap = *tap_;
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

// The host's promise holds through the tap: the extension's messages go
// to an application of the host's own user only.
TEST_F(TapTest, AnotherUsersApplicationGetsNothingThroughIt) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root, to serve as uid " << kOtherUser
                 << ": a user namespace made without root maps no second user";
  }
  const std::string shared = dir_.file("shared");
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  // Whoever owns the socket file, the tap connects once, as the host's
  // attempt would, finds the server's user and offers the host nothing.
  for (bool bindAsRoot : {false, true}) {
    socket_ = shared + (bindAsRoot ? "/root-owned.sock" : "/foreign.sock");
    ForeignListener foreign(socket_, bindAsRoot);
    ASSERT_TRUE(foreign.listening()) << foreign.error();
    HostProcess& tap = startTap();
    std::optional<Bytes> first = tap.readFrame();
    ASSERT_TRUE(tap.sendFrame(R"({"type":"hello","secret":"s"})"));
    ASSERT_TRUE(tap.sendFrame(R"({"type":"focus","secret":"s"})"));
    if (textOf(first) == kConnected) {
      EXPECT_EQ(textOf(tap.readFrame()), kUnavailable);
    }
    EXPECT_TRUE(tap.staysQuiet(2500ms)) << "the host reached the other user's server";
    EXPECT_TRUE(endsCleanly(tap));
    std::optional<ForeignTally> tally = foreign.finish();
    ASSERT_TRUE(tally);
    EXPECT_EQ(tally->bytes, 0) << "bound as root: " << bindAsRoot;
    EXPECT_EQ(tally->connections, 1) << "bound as root: " << bindAsRoot;
    EXPECT_NE(
        joined(logLines()).find("served by " + common::userText(kOtherUser) + ", not by this user"),
        std::string::npos)
        << joined(logLines());
  }
}

// A socket file with nothing listening behind it is no application, to the
// tap as to the host, even while a server elsewhere has bound the same
// name relative to its own folder.
TEST_F(TapTest, AStaleSocketIsNoApplicationWhateverListensElsewhere) {
  const int stale = openUnixStreamSocket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  // The server elsewhere: a child that binds "app.sock" in another folder
  // and listens until its pipe closes.
  const std::string elsewhere = dir_.file("elsewhere");
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  int ready[2];
  int hold[2];
  ASSERT_TRUE(openPipe(ready));
  ASSERT_TRUE(openPipe(hold));
  const pid_t server = ::fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    ::close(ready[0]);
    ::close(hold[1]);
    sockaddr_un relative{};
    relative.sun_family = AF_UNIX;
    std::memcpy(relative.sun_path, "app.sock", 9);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool listening =
        ::chdir(elsewhere.c_str()) == 0 &&
        ::bind(fd, reinterpret_cast<const sockaddr*>(&relative), sizeof relative) == 0 &&
        ::listen(fd, 4) == 0;
    char byte = listening ? 'y' : 'n';
    if (::write(ready[1], &byte, 1) == 1) (void)!::read(hold[0], &byte, 1);
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(hold[0]);
  char byte = 0;
  EXPECT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'y');

  HostProcess& tap = startTap();
  EXPECT_EQ(textOf(tap.readFrame()), kUnavailable);
  EXPECT_TRUE(tap.staysQuiet(2500ms)) << "the host was offered a socket with nothing behind it";
  EXPECT_TRUE(endsCleanly(tap));
  EXPECT_EQ(joined(logLines()).find("app connection"), std::string::npos) << joined(logLines());
  ::close(hold[1]);
  ::close(ready[0]);
  int status = 0;
  EXPECT_EQ(::waitpid(server, &status, 0), server);
}

// Whatever the log is, the browser's traffic and the host's start never
// depend on it, and nobody else can read it.
TEST_F(TapTest, TheLogIsPrivateAndNeverStopsTheHost) {
  std::ofstream(log_) << "kept\n";
  ASSERT_EQ(::chmod(log_.c_str(), 0644), 0);
  HostProcess& tap = startTap();
  EXPECT_EQ(textOf(tap.readFrame()), kUnavailable);
  EXPECT_TRUE(endsCleanly(tap));
  struct stat info {};
  ASSERT_EQ(::stat(log_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(logLines().front(), "kept") << "appended to, not replaced";

  const std::string target = dir_.file("target");
  std::ofstream(target) << "untouched\n";
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {dir_.file("link"), "link is a symbolic link; give a file or a terminal"},
      // No reader: opening it for writing would wait for one.
      {fifo, "fifo is a FIFO; give a file or a terminal"},
      {dir_.file("gone/trace.log"), "gone does not exist"},
      {"/dev/null", "null is a device that is no terminal; give a file or a terminal"},
  };
  ASSERT_EQ(::symlink(target.c_str(), cases[0].path.c_str()), 0);
  for (const Case& c : cases) {
    log_ = c.path;
    HostProcess& unwatched = startTap();
    EXPECT_EQ(textOf(unwatched.readFrame()), kUnavailable) << c.path;
    unwatched.closeInput();
    EXPECT_TRUE(exitedWithZero(unwatched.waitExit())) << c.path;
    EXPECT_NE(unwatched.errorOutput().find(c.reason), std::string::npos) << unwatched.errorOutput();
    EXPECT_NE(unwatched.errorOutput().find("running the host without the tap"), std::string::npos);
  }
  std::ifstream kept(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "untouched\n");
}

// A terminal nobody reads (on hold, or its window gone) takes no line; the
// traffic goes on at full speed.
TEST_F(TapTest, ATerminalNobodyReadsHoldsNothingBack) {
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  log_ = ::ptsname(terminal);
  FakeApp app(socket_);
  std::optional<AppConnection> connection = startConnected(app);
  ASSERT_TRUE(connection);
  HostProcess& tap = *tap_;
  const std::string message = R"({"type":"echo","fill":")" + std::string(100, 'x') + "\"}";
  int echoed = 0;
  for (; echoed < 1000; ++echoed) {
    if (!tap.sendFrame(message)) break;
    std::optional<Bytes> passed = connection->readFrame();
    if (!passed || !connection->send(frameOf(*passed))) break;
    if (textOf(tap.readFrame()) != message) break;
  }
  EXPECT_EQ(echoed, 1000);
  EXPECT_TRUE(endsCleanly(tap));
  ::close(terminal);
}

// The log tells what happened in the order it happened, even where the
// host writes to the application and to the browser one right after the
// other; a message the host drops is marked, and so is one it keeps to
// replay.
TEST_F(TapTest, LinesComeInTheOrderTheBytesPassed) {
  // So long a runtime folder that a socket in it would be past what the
  // host connects to.
  const std::string runtime = dir_.file(std::string(80, 'r'));
  ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
  auto app = std::make_unique<FakeApp>(socket_);
  ASSERT_TRUE(app->listening()) << app->error();
  HostProcess& tap = startTap(hostExecutable(), {{"XDG_RUNTIME_DIR", runtime}});
  EXPECT_EQ(textOf(tap.readFrame()), kConnected);
  std::optional<AppConnection> connection = app->accept();
  ASSERT_TRUE(connection);
  const std::string hello = R"({"type":"hello"})";
  const std::string focus = R"({"type":"focus"})";
  ASSERT_TRUE(tap.sendFrame(hello));
  ASSERT_TRUE(tap.sendFrame(focus));
  EXPECT_EQ(textOf(connection->readFrame()), hello);
  EXPECT_EQ(textOf(connection->readFrame()), focus);
  connection.reset();
  app.reset();
  EXPECT_EQ(textOf(tap.readFrame()), kUnavailable);
  const std::string blur = R"({"type":"blur"})";
  ASSERT_TRUE(tap.sendFrame(R"({"type":"ping"})"));
  ASSERT_TRUE(tap.sendFrame(blur));
  // The application comes back once the host has had the messages.
  EXPECT_TRUE(waitUntil([&] { return joined(logLines()).find("blur") != std::string::npos; }));
  app = std::make_unique<FakeApp>(socket_);
  ASSERT_TRUE(app->listening()) << app->error();
  EXPECT_EQ(textOf(tap.readFrame(5s)), kConnected);
  connection = app->accept();
  ASSERT_TRUE(connection);
  EXPECT_EQ(textOf(connection->readFrame()), hello);
  EXPECT_EQ(textOf(connection->readFrame()), blur);
  EXPECT_TRUE(endsCleanly(tap));

  const std::vector<std::string> lines = logLines();
  const std::string text = joined(lines);
  EXPECT_NE(text.find("XDG_RUNTIME_DIR (" + runtime + ") is too long"), std::string::npos) << text;
  const std::size_t started = lineAt(lines, "-- host started");
  const std::size_t opened = lineAt(lines, "-- app connection opened");
  const std::size_t connected = lineAt(lines, "host->browser");
  EXPECT_LT(started, opened) << text;
  EXPECT_LT(opened, connected) << text;
  EXPECT_NE(lines[connected].find("[status] " + std::string(kConnected)), std::string::npos);
  // The return: the replay comes before the report that the host wrote
  // after it.
  const std::size_t reopened = lineAt(lines, "-- app connection opened", opened + 1);
  const std::size_t replayed = lineAt(lines, "host->app", reopened);
  const std::size_t reported = lineAt(lines, "host->browser", reopened);
  EXPECT_LT(replayed, reported) << text;
  ASSERT_LT(reported, lines.size()) << text;
  EXPECT_NE(lines[reported].find(kConnected), std::string::npos) << text;
  const std::vector<std::string> sent = framesOf("browser->host");
  ASSERT_EQ(sent.size(), 4u) << text;
  EXPECT_EQ(sent[0], "16 B " + hello);
  EXPECT_EQ(sent[2], R"(15 B [dropped: no application] {"type":"ping"})");
  EXPECT_EQ(sent[3], "15 B [no application: kept to replay when it connects] " + blur);
}

}  // namespace
}  // namespace ostrel::tests
