// libostrel-app through real sockets and real processes: the safe listen,
// accepting this user's processes only, frames, and the example server
// built on it, through the real host.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "ostrel/app.h"
#include "other_user.h"
#include "own_connection.h"
#include "platform/descriptors.h"
#include "support/test_support.h"

namespace ostrel::tests {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// A socket file at `path` on which nothing listens any more.
void leaveStaleSocket(const std::string& path) {
  const int fd = openUnixStreamSocket();
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

bool accepts(const std::string& path) {
  std::string why;
  const int fd = appcheck::connectTo(path, why);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// Listens at `path`: its errno, 0 on success (the listener is then closed).
int listenErrno(const std::string& path) {
  ostrel_app_listener listener;
  char reason[256];
  if (ostrel_app_listen(&listener, path.c_str(), reason, sizeof reason) != 0) return errno;
  ostrel_app_listener_close(&listener);
  return 0;
}

TEST(AppListenTest, MakesAPrivateFolderAndSocketWhateverTheUmask) {
  TempDir dir;
  const std::string path = dir.file("made/here/app.sock");
  const mode_t saved = ::umask(0);
  ostrel_app_listener listener;
  const int result = ostrel_app_listen(&listener, path.c_str(), nullptr, 0);
  ::umask(saved);
  ASSERT_EQ(result, 0) << std::strerror(errno);
  EXPECT_EQ(modeOf(dir.file("made/here")) & 07777, 0700u);
  EXPECT_EQ(modeOf(path) & 07777, 0600u);
  EXPECT_TRUE(accepts(path));
  ostrel_app_listener_close(&listener);
  EXPECT_EQ(modeOf(path), 0u) << "the socket file is left behind";
}

// A socket listening at `path` that takes no lock, as another program's.
int plainListener(const std::string& path) {
  const int fd = openUnixStreamSocket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd, 1), 0);
  return fd;
}

TEST(AppListenTest, ReplacesAStaleSocketButNeverALiveOneOrAnotherFile) {
  TempDir dir;
  const std::string path = dir.file("app.sock");
  leaveStaleSocket(path);
  ostrel_app_listener live;
  ASSERT_EQ(ostrel_app_listen(&live, path.c_str(), nullptr, 0), 0) << std::strerror(errno);

  char reason[256] = "";
  ostrel_app_listener second;
  EXPECT_EQ(ostrel_app_listen(&second, path.c_str(), reason, sizeof reason), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_STREQ(reason, ("another instance of the application listens on " + path + " (it holds " +
                        path + ".lock)")
                           .c_str());
  EXPECT_EQ(second.fd, -1);
  EXPECT_TRUE(accepts(path)) << "the live socket was taken away";
  ostrel_app_listener_close(&live);
  EXPECT_EQ(modeOf(path + ".lock"), 0u) << "the lock file is left behind";

  // A program that takes no lock is told by connecting.
  const int other = plainListener(path);
  EXPECT_EQ(ostrel_app_listen(&second, path.c_str(), reason, sizeof reason), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_STREQ(reason, ("another program listens on " + path).c_str());
  EXPECT_TRUE(accepts(path));
  ::close(other);
  ::unlink(path.c_str());

  const std::string file = dir.file("plain");
  std::ofstream(file) << "mine";
  EXPECT_EQ(listenErrno(file), ENOTSOCK);
  EXPECT_TRUE(S_ISREG(modeOf(file)));
  EXPECT_EQ(listenErrno(std::string(OSTREL_APP_MAX_SOCKET_PATH + 1, 'p')), ENAMETOOLONG);
  EXPECT_EQ(listenErrno(""), EINVAL);
}

// Two processes that start together over a stale socket, round after
// round: exactly one listens, the other is told that another listens, and
// the path leads to the one that listens.
TEST(AppListenTest, OfTwoInstancesStartedTogetherOverAStaleSocketExactlyOneListens) {
  TempDir dir;
  const std::string path = dir.file("app.sock");
  constexpr int kRounds = 300;
  for (int round = 0; round < kRounds; ++round) {
    leaveStaleSocket(path);
    int start[2];
    int results[2];
    int release[2];
    ASSERT_TRUE(openPipe(start) && openPipe(results) && openPipe(release));
    pid_t children[2];
    for (pid_t& child : children) {
      child = ::fork();
      if (child == 0) {
        char byte;
        ::close(start[1]);
        (void)!::read(start[0], &byte, 1);  // both go at once
        ostrel_app_listener listener;
        char reason[256] = "";
        const bool listening =
            ostrel_app_listen(&listener, path.c_str(), reason, sizeof reason) == 0;
        const char said = listening ? 'L' : errno == EADDRINUSE ? 'U' : '?';
        (void)!::write(results[1], &said, 1);
        ::close(release[1]);
        (void)!::read(release[0], &byte, 1);  // listens on until the other has tried
        ostrel_app_listener_close(&listener);
        ::_exit(0);
      }
    }
    ::close(start[0]);
    ::close(start[1]);
    ::close(results[1]);
    ::close(release[0]);
    const std::optional<Bytes> said = readBytes(results[0], 2);
    const bool oneListens = said && std::count(said->begin(), said->end(), 'L') == 1 &&
                            std::count(said->begin(), said->end(), 'U') == 1;
    const bool reached = accepts(path);
    ::close(release[1]);
    ::close(results[0]);
    for (const pid_t child : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
    }
    ASSERT_TRUE(oneListens) << "round " << round << ": "
                            << (said ? std::string(said->begin(), said->end()) : "no word");
    ASSERT_TRUE(reached) << "round " << round << ": the path does not lead to the listener";
    EXPECT_EQ(modeOf(path), 0u);
  }
}

TEST(AppListenTest, RefusesAFolderOpenToOthersOrReachedByALink) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("open").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir.file("open").c_str(), 0755), 0);
  EXPECT_EQ(listenErrno(dir.file("open/app.sock")), EPERM);
  ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("real", dir.file("link").c_str()), 0);
  EXPECT_EQ(listenErrno(dir.file("link/app.sock")), EPERM);
  EXPECT_EQ(modeOf(dir.file("real/app.sock")), 0u);
}

TEST(AppListenTest, NeverTouchesAnotherUsersFolderOrSocket) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give files to another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("theirs").c_str(), 0700), 0);
  ASSERT_EQ(::chown(dir.file("theirs").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_EQ(listenErrno(dir.file("theirs/app.sock")), EPERM);
  const std::string stale = dir.file("stale.sock");
  leaveStaleSocket(stale);
  ASSERT_EQ(::chown(stale.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_EQ(listenErrno(stale), EPERM);
  EXPECT_TRUE(S_ISSOCK(modeOf(stale))) << "another user's socket was removed";
}

TEST(AppListenTest, ClosingRemovesOnlyTheSocketFileItMade) {
  TempDir dir;
  const std::string path = dir.file("app.sock");
  ostrel_app_listener first;
  ASSERT_EQ(ostrel_app_listen(&first, path.c_str(), nullptr, 0), 0);
  // Another program put its own socket at the path meanwhile.
  const int other = plainListener(dir.file("other.sock"));
  ASSERT_EQ(::rename(dir.file("other.sock").c_str(), path.c_str()), 0);
  ostrel_app_listener_close(&first);
  EXPECT_TRUE(accepts(path));
  EXPECT_EQ(modeOf(path + ".lock"), 0u);
  ostrel_app_listener_close(&first);  // twice is harmless
  EXPECT_TRUE(S_ISSOCK(modeOf(path)));
  ::close(other);
}

TEST(AppListenTest, RefusesAPathBelowAFolderOthersMayChange) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("shared").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(dir.file("shared").c_str(), 0777), 0);
  char reason[256] = "";
  ostrel_app_listener listener;
  EXPECT_EQ(
      ostrel_app_listen(&listener, dir.file("shared/mine/app.sock").c_str(), reason, sizeof reason),
      -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_STREQ(reason, ("the folder " + dir.file("shared") +
                        " may be changed by other users (mode 0777), who could replace what lies "
                        "below it: keep the socket below folders only you and root may change")
                           .c_str());
  EXPECT_EQ(modeOf(dir.file("shared/mine")), 0u) << "made below a folder others may change";
  // Sticky, as /tmp is: others cannot replace what is not theirs.
  ASSERT_EQ(::chmod(dir.file("shared").c_str(), 01777), 0);
  EXPECT_EQ(listenErrno(dir.file("shared/mine/app.sock")), 0);
  // A link of this user's on the way is followed.
  ASSERT_EQ(::symlink("shared", dir.file("link").c_str()), 0);
  EXPECT_EQ(listenErrno(dir.file("link/mine/app.sock")), 0);
  if (::geteuid() != 0) return;
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(::lchown(dir.file("link").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_EQ(listenErrno(dir.file("link/mine/app.sock")), EPERM) << "another user's link followed";
}

TEST(AppAcceptTest, GivesThisUsersConnectionsAndRefusesOthers) {
  TempDir dir;
  const std::string path = dir.file("app.sock");
  ostrel_app_listener listener;
  ASSERT_EQ(ostrel_app_listen(&listener, path.c_str(), nullptr, 0), 0);
  EXPECT_EQ(ostrel_app_accept(listener.fd, 0), -1);
  EXPECT_EQ(errno, ETIMEDOUT);

  std::string why;
  const int own = appcheck::connectTo(path, why);
  ASSERT_GE(own, 0) << why;
  const int fd = ostrel_app_accept(listener.fd, 10000);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  uid_t peer = 1;
  EXPECT_EQ(ostrel_app_peer_user(fd, &peer), 0);
  EXPECT_EQ(peer, ::geteuid());
  ::close(fd);
  ::close(own);

  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to connect as another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  // Within reach of the other user, so that accept's own check decides.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    std::string how;
    const bool became = appcheck::becomeOtherUser(nobody->pw_uid, nobody->pw_gid);
    const int other = became ? appcheck::connectTo(path, how) : -1;
    char byte;
    // Exits 0 when the connection was closed without a byte.
    ::_exit(other >= 0 && ::read(other, &byte, 1) == 0 ? 0 : 1);
  }
  EXPECT_EQ(ostrel_app_accept(listener.fd, 10000), -1);
  EXPECT_EQ(errno, EPERM);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
#if defined(__linux__)
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
  ostrel_app_listener_close(&listener);
}

volatile sig_atomic_t signalled = 0;

// An application waiting in accept without a time limit sees a signal its
// handler noted (SIGTERM, say): accept returns EINTR.
TEST(AppAcceptTest, ReturnsWhenASignalComes) {
  TempDir dir;
  ostrel_app_listener listener;
  ASSERT_EQ(ostrel_app_listen(&listener, dir.file("app.sock").c_str(), nullptr, 0), 0);
  struct sigaction noted {};
  noted.sa_handler = [](int) { signalled = 1; };
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGUSR1, &noted, &saved), 0);
  std::atomic<int> result{0};
  std::atomic<int> error{0};
  std::atomic<bool> returned{false};
  std::thread waiting([&] {
    result = ostrel_app_accept(listener.fd, -1);
    error = errno;
    returned = true;
  });
  // Until it returns: a signal that comes before the wait begins is noted
  // too, and the next one ends the wait.
  const bool ended = waitUntil([&] {
    ::pthread_kill(waiting.native_handle(), SIGUSR1);
    return returned.load();
  });
  if (!ended) {
    const int fd = openUnixStreamSocket();  // lets the thread go
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, listener.path);
    (void)::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
  }
  waiting.join();
  ::sigaction(SIGUSR1, &saved, nullptr);
  ostrel_app_listener_close(&listener);
  EXPECT_TRUE(ended) << "still in accept after the signal";
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, EINTR);
  EXPECT_EQ(signalled, 1);
}

// Three frames, one of them exactly 1 MiB, in one stream.
std::string threeFrames() {
  std::string stream;
  for (const std::string& payload :
       {std::string(), std::string("abc"), std::string(OSTREL_APP_MAX_PAYLOAD, 'm')}) {
    std::string frame(payload.size() + OSTREL_APP_HEADER_BYTES, '\0');
    EXPECT_EQ(ostrel_app_encode_frame(payload.data(), payload.size(),
                                      reinterpret_cast<unsigned char*>(frame.data()), frame.size()),
              static_cast<ssize_t>(frame.size()));
    stream += frame;
  }
  return stream;
}

TEST(AppFramesTest, DecodesWhateverTheSplitAndRefusesALengthOverTheLimitWithoutMemory) {
  const std::string stream = threeFrames();
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{65536}}) {
    ostrel_app_decoder decoder;
    ostrel_app_decoder_init(&decoder);
    std::vector<std::string> payloads;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t size = std::min(piece, stream.size() - at);
      std::size_t used = 0;
      const int found = ostrel_app_decoder_feed(&decoder, stream.data() + at, size, &used);
      ASSERT_GT(used, 0u);
      at += used;
      ASSERT_NE(found, OSTREL_APP_TOO_LONG);
      if (found == OSTREL_APP_FRAME) {
        payloads.emplace_back(reinterpret_cast<const char*>(decoder.payload), decoder.length);
      }
    }
    EXPECT_FALSE(ostrel_app_decoder_partial(&decoder));
    ASSERT_EQ(payloads.size(), 3u) << "pieces of " << piece;
    EXPECT_EQ(payloads[0], "");
    EXPECT_EQ(payloads[1], "abc");
    EXPECT_EQ(payloads[2], std::string(OSTREL_APP_MAX_PAYLOAD, 'm'));
    ostrel_app_decoder_free(&decoder);
  }

  ostrel_app_decoder decoder;
  ostrel_app_decoder_init(&decoder);
  const unsigned char tooLong[] = {0x01, 0x00, 0x10, 0x00, 'x'};  // 1 MiB + 1
  std::size_t used = 0;
  EXPECT_EQ(ostrel_app_decoder_feed(&decoder, tooLong, 2, &used), OSTREL_APP_NEED_MORE);
  EXPECT_TRUE(ostrel_app_decoder_partial(&decoder));
  EXPECT_EQ(ostrel_app_decoder_feed(&decoder, tooLong + 2, 3, &used), OSTREL_APP_TOO_LONG);
  EXPECT_EQ(used, 2u);
  EXPECT_EQ(decoder.capacity, 0u) << "memory taken for an untrusted length";
  EXPECT_EQ(ostrel_app_decoder_feed(&decoder, tooLong + 4, 1, &used), OSTREL_APP_TOO_LONG);
  EXPECT_EQ(used, 0u);
  ostrel_app_decoder_free(&decoder);
}

TEST(AppFramesTest, WritesWholeFramesAndFailsWithoutASignalWhenThePeerHasGone) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  ASSERT_TRUE(setCloseOnExec(ends[0]) && setCloseOnExec(ends[1]));
  const std::string payload(OSTREL_APP_MAX_PAYLOAD, 'w');
  std::string received;
  std::thread reader([&] {
    char buffer[4096];  // small reads: the writer goes on after partial writes
    ssize_t n;
    while ((n = ::read(ends[1], buffer, sizeof buffer)) > 0) received.append(buffer, n);
  });
  EXPECT_EQ(ostrel_app_write_frame(ends[0], payload.data(), payload.size()), 0);
  EXPECT_EQ(ostrel_app_write_frame(ends[0], payload.data(), payload.size() + 1), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  ::shutdown(ends[0], SHUT_WR);
  reader.join();
  EXPECT_TRUE(received == std::string("\x00\x00\x10\x00", 4) + payload)
      << received.size() << " bytes, not a frame of the whole payload";

  // With SIGPIPE at its default, a signal would end this test.
  ::close(ends[1]);
  struct sigaction saved {};
  struct sigaction fatal {};
  fatal.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &fatal, &saved);
  const int result = ostrel_app_write_frame(ends[0], "x", 1);
  const int error = errno;
  ::sigaction(SIGPIPE, &saved, nullptr);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, EPIPE);
  ::close(ends[0]);

  unsigned char small[8];
  EXPECT_EQ(ostrel_app_encode_frame("toolong", 7, small, sizeof small), -1);
  EXPECT_EQ(errno, ENOBUFS);
}

TEST(AppSocketPathTest, GivesTheLengthItNeedsAndWritesNoMore) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(ostrel_app_socket_path_from(nullptr, "/home/u", buffer, 4),
            static_cast<ssize_t>(std::strlen("/home/u/" OSTREL_APP_DEFAULT_SOCKET)));
  EXPECT_EQ(std::string(buffer, sizeof buffer), "########");
  EXPECT_EQ(ostrel_app_socket_path_from("/run/x.sock", nullptr, buffer, sizeof buffer), 11);
  EXPECT_TRUE(ostrel_app_socket_path_usable(std::string(OSTREL_APP_MAX_SOCKET_PATH, 'a').c_str()));
  EXPECT_FALSE(
      ostrel_app_socket_path_usable(std::string(OSTREL_APP_MAX_SOCKET_PATH + 1, 'a').c_str()));
}

TEST(ExampleServerTest, AnswersThroughTheHostAndRemovesItsSocketOnSigterm) {
  TempDir dir;
  const std::string socket = dir.file("app/browser.sock");
  common::ChildProcess server(
      common::Launch{.argv = {OSTREL_EXAMPLE_C_APP},
                     .environment = common::environmentWith({"OSTREL_SOCKET_PATH=" + socket})});
  ASSERT_TRUE(server.started());
  ASSERT_TRUE(waitUntil([&] { return S_ISSOCK(modeOf(socket)); }));
  HostProcess host(hostExecutable(), {{"OSTREL_SOCKET_PATH", socket}});
  EXPECT_EQ(textOf(host.readFrame()), kConnected);
  const std::string hello = R"({"type":"hello","v":"é"})";
  ASSERT_TRUE(host.sendFrame(hello));
  EXPECT_EQ(textOf(host.readFrame()),
            R"({"type":"received","bytes":)" + std::to_string(hello.size()) + "}");
  EXPECT_TRUE(endsCleanly(host));
  server.signal(SIGTERM);
  EXPECT_TRUE(exitedWithZero(server.waitExit(kDeadline)));
  EXPECT_EQ(modeOf(socket), 0u);
}

}  // namespace
}  // namespace ostrel::tests
