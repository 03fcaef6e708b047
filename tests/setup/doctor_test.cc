// doctor and the host probe, with stand-in hosts and, where it is built, the
// real host with a listening socket standing in for the application.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "host_probe.h"
#include "test_home.h"

namespace ostrel::setup {
namespace {

using std::chrono::milliseconds;

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
// A frame holding {"type":"status","app":"connected"} (35 bytes), in printf's
// octal escapes.
constexpr const char* kConnectedFrame = R"('\043\000\000\000{"type":"status","app":"connected"}')";

// A Unix-domain socket listening at `path`; connections wait in the backlog.
class Listener {
 public:
  explicit Listener(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
  }
  ~Listener() { ::close(fd_); }

 private:
  int fd_ = -1;
};

class ProbeTest : public TestHome {};

TEST_F(ProbeTest, ReadsTheFirstStatusAndSeesTheHostOut) {
  std::string host = fakeHost(std::string("printf ") + kConnectedFrame + "; cat >/dev/null");
  ProbeResult result = probeHost(host, {kOrigin}, milliseconds(5000));
  EXPECT_EQ(result.outcome, ProbeOutcome::kConnected);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(result.standardError.empty());
}

TEST_F(ProbeTest, ReportsEveryWayAHostCanMisbehave) {
  // Silent and deaf to the end of its input: the deadline passes, it is stopped.
  ProbeResult silent = probeHost(fakeHost("exec sleep 60"), {kOrigin}, milliseconds(300));
  EXPECT_EQ(silent.outcome, ProbeOutcome::kNoStatus);
  EXPECT_FALSE(silent.exitStatus);
  EXPECT_NE(silent.exitDescription.find("was stopped"), std::string::npos);

  ProbeResult noisy =
      probeHost(fakeHost("echo 'cannot load library' >&2; exit 3"), {kOrigin}, milliseconds(5000));
  EXPECT_EQ(noisy.outcome, ProbeOutcome::kNoStatus);
  EXPECT_EQ(noisy.standardError, "cannot load library\n");
  EXPECT_EQ(noisy.exitStatus, 3);

  ProbeResult chatty = probeHost(fakeHost(R"(printf '\002\000\000\000{}'; cat >/dev/null)"),
                                 {kOrigin}, milliseconds(5000));
  EXPECT_EQ(chatty.outcome, ProbeOutcome::kUnexpected);
  EXPECT_EQ(chatty.detail, "{}");

  std::string broken = writeFile("bin/broken", "#!/nonexistent/interpreter\n", 0755);
  ProbeResult missing = probeHost(broken, {kOrigin}, milliseconds(5000));
  EXPECT_EQ(missing.outcome, ProbeOutcome::kDidNotStart);
  EXPECT_FALSE(missing.detail.empty());
}

class DoctorTest : public TestHome {};

TEST_F(DoctorTest, NamesEachFaultOfABrokenSetup) {
  EXPECT_EQ(run("doctor"), kExitFailure);
  EXPECT_NE(output.find("no readable manifest"), std::string::npos) << output;

  writeFile(".config/chromium/NativeMessagingHosts/com.ostrel.native_host.json",
            R"({"name":"com.other","description":"d","path":"/nonexistent/host","type":"pipe",)"
            R"("allowed_origins":["chrome-extension://abc/"]})");
  writeFile(".config/google-chrome/NativeMessagingHosts/com.ostrel.native_host.json", "{");
  std::filesystem::create_directories(home + "/.local/share/flatpak/app/org.chromium.Chromium");
  std::filesystem::create_directories(root + "/snap/firefox");

  EXPECT_EQ(run("doctor"), kExitFailure);
  for (const char* complaint :
       {"differs from the file name", "not \"stdio\"", "does not exist",
        "must be chrome-extension://", "not valid JSON", "Chromium is installed as a Flatpak",
        "Firefox is installed as a Snap", "7 problems found"}) {
    EXPECT_NE(output.find(complaint), std::string::npos) << complaint << " missing in\n" << output;
  }
}

TEST_F(DoctorTest, StartsTheHostAndSaysWhatFailed) {
  answeringHost();
  ASSERT_EQ(run(std::string("install --browser edge --origin ") + kOrigin), 0) << errors;
  fakeHost(R"(printf '\002\000\000\000{}'; echo oops >&2; cat >/dev/null; exit 4)");
  EXPECT_EQ(run("doctor --browser edge"), kExitFailure);
  for (const char* complaint : {"the manifest is well formed", "not a status message",
                                "wrote to standard error", "exited with status 4"}) {
    EXPECT_NE(output.find(complaint), std::string::npos) << complaint << " missing in\n" << output;
  }
}

#ifdef OSTREL_HOST_BINARY
TEST_F(DoctorTest, RealHostWithAndWithoutTheApplication) {
  std::string profile = home + "/profile";
  ASSERT_EQ(run("install --user-data-dir " + profile +
                " --host-path " OSTREL_HOST_BINARY " --origin " + kOrigin),
            0)
      << errors;
  std::string socket = home + "/app.sock";
  ::setenv("OSTREL_SOCKET_PATH", socket.c_str(), 1);

  EXPECT_EQ(run("doctor --user-data-dir " + profile), kExitFailure);
  EXPECT_NE(output.find("did not answer at " + socket + ": nothing is there"), std::string::npos)
      << output;
  EXPECT_NE(output.find("exited with status 0"), std::string::npos) << output;

  {
    Listener application(socket);
    EXPECT_EQ(run("doctor --user-data-dir " + profile), 0) << output;
    EXPECT_NE(output.find("reached the application at " + socket), std::string::npos) << output;
  }

  // Without the variable the host looks below the home folder.
  ::unsetenv("OSTREL_SOCKET_PATH");
  EXPECT_EQ(run("doctor --user-data-dir " + profile), kExitFailure);
  EXPECT_NE(output.find(home + "/Library/Application Support/ostrel/browser.sock"),
            std::string::npos)
      << output;
}
#endif

}  // namespace
}  // namespace ostrel::setup
