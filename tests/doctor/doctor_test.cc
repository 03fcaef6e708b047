// doctor and the host probe, with stand-in hosts and the real host, and
// listening sockets standing in for the application.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "host_probe.h"
#include "peers/fake_app.h"
#include "platform/descriptors.h"
#include "socket_check.h"
#include "test_home.h"

namespace ostrel::setup {
namespace {

using doctor::checkSocket;
using doctor::SocketState;
using std::chrono::milliseconds;

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
// A frame holding {"type":"status","app":"connected"} (35 bytes), in printf's
// octal escapes.
constexpr const char* kConnectedFrame = R"('\043\000\000\000{"type":"status","app":"connected"}')";

// A socket file at `path` that nobody listens on: what an application
// that crashed leaves behind.
void makeStaleSocket(const std::string& path) {
  int fd = openUnixStreamSocket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

class ProbeTest : public TestHome {};

TEST_F(ProbeTest, ReadsTheFirstStatusAndSeesTheHostOut) {
  std::string host = fakeHost(std::string("printf ") + kConnectedFrame + "; cat >/dev/null");
  ProbeResult result = probeHost("", host, {kOrigin}, milliseconds(5000), ownEnvironment());
  EXPECT_EQ(result.outcome, ProbeOutcome::kConnected);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(result.standardError.empty());
}

TEST_F(ProbeTest, ReportsEveryWayAHostCanMisbehave) {
  // Silent and deaf to the end of its input: the deadline passes, it is stopped.
  ProbeResult silent =
      probeHost("", fakeHost("exec sleep 60"), {kOrigin}, milliseconds(300), ownEnvironment());
  EXPECT_EQ(silent.outcome, ProbeOutcome::kNoStatus);
  EXPECT_FALSE(silent.exitStatus);
  EXPECT_NE(silent.exitDescription.find("was stopped"), std::string::npos);

  ProbeResult noisy = probeHost("", fakeHost("echo 'cannot load library' >&2; exit 3"), {kOrigin},
                                milliseconds(5000), ownEnvironment());
  EXPECT_EQ(noisy.outcome, ProbeOutcome::kNoStatus);
  EXPECT_EQ(noisy.standardError, "cannot load library\n");
  EXPECT_EQ(noisy.exitStatus, 3);

  ProbeResult chatty = probeHost("", fakeHost(R"(printf '\002\000\000\000{}'; cat >/dev/null)"),
                                 {kOrigin}, milliseconds(5000), ownEnvironment());
  EXPECT_EQ(chatty.outcome, ProbeOutcome::kUnexpected);
  EXPECT_EQ(chatty.detail, "{}");

  // Text where a frame should be is refused before its "length" is believed.
  ProbeResult wordy = probeHost("", fakeHost("echo 'Usage: host ORIGIN'; cat >/dev/null"),
                                {kOrigin}, milliseconds(5000), ownEnvironment());
  EXPECT_EQ(wordy.outcome, ProbeOutcome::kUnexpected);
  EXPECT_EQ(wordy.detail,
            "text where a frame should be: \"Usage: host ORIGIN\\n\" (read as a frame header, it "
            "announces 1734439765 bytes, over the 1 MiB limit)");

  std::string broken = writeFile("bin/broken", "#!/nonexistent/interpreter\n", 0755);
  ProbeResult missing = probeHost("", broken, {kOrigin}, milliseconds(5000), ownEnvironment());
  EXPECT_EQ(missing.outcome, ProbeOutcome::kDidNotStart);
  EXPECT_EQ(missing.detail,
            "interpreter \"/nonexistent/interpreter\", named on the script's first line, is not "
            "there");

  // Saved with CRLF line endings, a wrapper names "/bin/sh\r".
  std::string crlf = writeFile("bin/crlf", "#!/bin/sh\r\nexec cat\r\n", 0755);
  ProbeResult windows = probeHost("", crlf, {kOrigin}, milliseconds(5000), ownEnvironment());
  EXPECT_EQ(windows.outcome, ProbeOutcome::kDidNotStart);
  EXPECT_TRUE(windows.detail.starts_with(
      "interpreter \"/bin/sh\\r\" not found: the script has CRLF (Windows) line endings"))
      << windows.detail;
}

class DoctorTest : public TestHome {};

TEST_F(DoctorTest, NamesEachFaultOfABrokenSetup) {
  // Finding nothing, it says where it looked.
  EXPECT_EQ(run("doctor --browser chromium --browser firefox"), kExitFailure);
  for (const std::string& line :
       {std::string("no manifest named com.ostrel.native_host.json was found in any of these "
                    "folders:"),
        "    " + home + "/.config/chromium/NativeMessagingHosts\n",
        "    " + root + "/usr/lib/mozilla/native-messaging-hosts\n",
        "XDG_CONFIG_HOME is not set, so the Chromium family's folders are below " + home +
            "/.config",
        std::string("what to do: register the host with: ostrel-native-host-setup install")}) {
    EXPECT_NE(output.find(line), std::string::npos) << line << " missing in\n" << output;
  }

  writeFile(".config/chromium/NativeMessagingHosts/com.ostrel.native_host.json",
            R"({"name":"com.other","description":"d","path":"/nonexistent/host","type":"pipe",)"
            R"("allowed_origins":["chrome-extension://abc/"]})");
  writeFile(".config/google-chrome/NativeMessagingHosts/com.ostrel.native_host.json", "{");
  std::filesystem::create_directories(home + "/.local/share/flatpak/app/org.chromium.Chromium");
  std::filesystem::create_directories(root + "/snap/firefox");

  EXPECT_EQ(run("doctor"), kExitFailure);
  for (const char* complaint :
       {"differs from the file name", "not \"stdio\"", "does not exist",
        "not valid JSON at 1:2: expected a member name in double quotes at line 1, "
        "column 2",
        "Chromium is installed as a Flatpak", "Firefox is installed as a Snap",
        "4 problems found, and 2 warnings"}) {
    EXPECT_NE(output.find(complaint), std::string::npos) << complaint << " missing in\n" << output;
  }
  // Neither manifest was written by this tool, and neither names an id to keep.
  EXPECT_NE(output.find("what to do: it was not written by this tool"), std::string::npos);
  EXPECT_EQ(output.find("register the host"), std::string::npos);
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

TEST_F(DoctorTest, RealHostWithAndWithoutTheApplication) {
  std::string profile = home + "/profile";
  ASSERT_EQ(run("install --user-data-dir " + profile +
                " --host-path " OSTREL_HOST_BINARY " --origin " + kOrigin),
            0)
      << errors;
  std::string socket = home + "/app.sock";
  ::setenv("OSTREL_SOCKET_PATH", socket.c_str(), 1);

  // An application that is not running stops no extension from connecting.
  EXPECT_EQ(run("doctor --user-data-dir " + profile), kExitSuccess);
  EXPECT_NE(
      output.find("warning: the application did not answer at " + socket + ": nothing is there"),
      std::string::npos)
      << output;
  EXPECT_NE(output.find("exited with status 0"), std::string::npos) << output;

  {
    peers::FakeApp application(socket);
    ASSERT_TRUE(application.listening()) << application.error();
    EXPECT_EQ(run("doctor --user-data-dir " + profile), 0) << output;
    EXPECT_NE(output.find("reached the application at " + socket), std::string::npos) << output;
  }

  // Without the variable the host looks below the home folder.
  ::unsetenv("OSTREL_SOCKET_PATH");
  EXPECT_EQ(run("doctor --user-data-dir " + profile), kExitSuccess);
  EXPECT_NE(output.find(home + "/Library/Application Support/ostrel/browser.sock"),
            std::string::npos)
      << output;
}

// Registered through a wrapper script that sets the variable, with and
// without exec: doctor names the path the host received, not its own.
TEST_F(DoctorTest, NamesTheSocketPathAWrapperGaveTheHost) {
  const std::string socket = home + "/wrapped.sock";
  const std::string profile = home + "/profile";
  ::unsetenv("OSTREL_SOCKET_PATH");
  peers::FakeApp application(socket);
  ASSERT_TRUE(application.listening()) << application.error();
  for (const char* start : {"exec ", ""}) {
    const std::string wrapper = writeFile(
        "bin/wrapper",
        "#!/bin/sh\nOSTREL_SOCKET_PATH='" + socket + "' " + start + OSTREL_HOST_BINARY " \"$@\"\n",
        0755);
    ASSERT_EQ(run("install --user-data-dir " + profile + " --host-path " + wrapper + " --origin " +
                  kOrigin),
              0)
        << errors;
    EXPECT_EQ(run("doctor --user-data-dir " + profile), 0) << output;
    EXPECT_NE(output.find("reached the application at " + socket), std::string::npos) << output;
    EXPECT_NE(output.find("the registration changes its environment"), std::string::npos) << output;
    EXPECT_EQ(output.find("did not exec") != std::string::npos, *start == '\0') << output;
  }
}

// A socket served by a process of another user: a child that drops to
// `nobody` (only root can do that) and listens at `path`.
class ForeignListener {
 public:
  explicit ForeignListener(const std::string& path) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(stop_), 0);
    child_ = ::fork();
    if (child_ == 0) {
      ::close(ready[0]);
      ::close(stop_[1]);
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
      peers::FakeApp application(path);
      if (!application.listening() || ::write(ready[1], "r", 1) != 1) ::_exit(1);
      char byte;
      while (::read(stop_[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(stop_[0]);
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    listening_ = ::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~ForeignListener() {
    ::close(stop_[1]);
    int status = 0;
    ::waitpid(child_, &status, 0);
  }
  bool listening() const { return listening_; }

 private:
  int stop_[2] = {-1, -1};
  pid_t child_ = -1;
  bool listening_ = false;
};

TEST_F(DoctorTest, NamesWhyTheApplicationDidNotAnswer) {
  answeringHost();  // always reports the application unavailable
  std::string profile = home + "/profile";
  ASSERT_EQ(run("install --user-data-dir " + profile + " --origin " + kOrigin), 0) << errors;
  std::string file = writeFile("not-a-socket", "");
  std::string stale = home + "/stale.sock";
  makeStaleSocket(stale);
  // A path the host can never use, or a file that is no socket, is a
  // problem; an application that is not there now is a warning.
  struct Case {
    std::string socketPath;
    std::string cause;
    int status;
  };
  const Case cases[] = {
      {"", "problem: OSTREL_SOCKET_PATH is set but empty, and the host never connects",
       kExitFailure},
      {"~/app.sock",
       "a relative path: the host uses it exactly as given, relative to whatever "
       "folder the browser starts it in, and does not expand \"~\"; give an "
       "absolute path such as " +
           home + "/app.sock",
       kExitFailure},
      {"/tmp/" + std::string(100, 'x'),
       "the socket path is 105 bytes long, and the host "
       "accepts at most 103",
       kExitFailure},
      {home + "/nothing.sock",
       "warning: the application did not answer at " + home +
           "/nothing.sock: nothing is there: the application is not running",
       kExitSuccess},
      {file,
       "problem: the application did not answer at " + file + ": the file there is not a socket",
       kExitFailure},
      {stale, "a socket file is there but nobody accepts connections on it", kExitSuccess},
  };
  for (const Case& c : cases) {
    ::setenv("OSTREL_SOCKET_PATH", c.socketPath.c_str(), 1);
    EXPECT_EQ(run("doctor --user-data-dir " + profile), c.status) << output;
    EXPECT_NE(output.find(c.cause), std::string::npos) << c.cause << " missing in\n" << output;
  }

  if (::geteuid() != 0) GTEST_SKIP() << "serving a socket as another user needs root";
  ASSERT_EQ(::chmod(home.c_str(), 0711), 0);
  std::filesystem::create_directories(home + "/shared");
  ASSERT_EQ(::chmod((home + "/shared").c_str(), 0777), 0);
  std::string foreign = home + "/shared/app.sock";
  ForeignListener application(foreign);
  ASSERT_TRUE(application.listening());
  ::setenv("OSTREL_SOCKET_PATH", foreign.c_str(), 1);
  EXPECT_EQ(run("doctor --user-data-dir " + profile), kExitFailure);
  EXPECT_NE(output.find("it is served by a program of another user (nobody, uid 65534)"),
            std::string::npos)
      << output;

  // A user who may not enter the socket's folder is told so.
  peers::FakeApp own(home + "/private/app.sock");  // in a folder private to root
  ASSERT_TRUE(own.listening()) << own.error();
  int result[2];
  ASSERT_EQ(::pipe(result), 0);
  pid_t child = ::fork();
  if (child == 0) {
    char state = 'x';
    if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
      state = static_cast<char>(checkSocket(home + "/private/app.sock").state);
    }
    ::_exit(::write(result[1], &state, 1) == 1 ? 0 : 1);
  }
  ::close(result[1]);
  char state = 0;
  EXPECT_EQ(::read(result[0], &state, 1), 1);
  ::close(result[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(state, static_cast<char>(SocketState::kDenied));

  // Checked system-wide, it says whose socket it tried.
  ASSERT_EQ(run(std::string("install --system --browser chromium --origin ") + kOrigin), 0);
  EXPECT_EQ(run("doctor --system --browser chromium"), kExitFailure);
  EXPECT_NE(output.find("the host ran as this user (uid 0)"), std::string::npos) << output;
  EXPECT_NE(output.find("sudo -u USER -H ostrel-native-host-setup doctor --system"),
            std::string::npos);
}

TEST_F(DoctorTest, SaysWhatOpenAppWillDo) {
  launch = AppLaunch{.bundleOpener = "/bin/true", .command = {}};
  std::string script = read(answeringHost());
  auto doctor = [&](const std::string& hostPath) {
    std::string profile = home + "/profile";
    std::filesystem::remove_all(profile);
    EXPECT_EQ(run("install --user-data-dir " + profile + " --host-path " + hostPath + " --origin " +
                  kOrigin),
              0)
        << errors;
    run("doctor --user-data-dir " + profile);
    return output;
  };
  const std::string nothing = "on \"open_app\" it does nothing here, because the host (";
  EXPECT_NE(doctor(home + "/bin/ostrel-native-host")
                .find(nothing + home +
                      "/bin/ostrel-native-host) does not lie three folders below an "
                      "application bundle (a folder whose name ends in \".app\") and was built "
                      "without OSTREL_APP_COMMAND\n"),
            std::string::npos)
      << output;

  // Inside a bundle it starts the open program with the bundle's path; a
  // link into a bundle counts where it leads.
  std::string bundled = writeFile("Ostrel.app/Contents/MacOS/host", script, 0755);
  EXPECT_NE(doctor(bundled).find("on \"open_app\" it launches: /bin/true " + home +
                                 "/Ostrel.app (as built together"),
            std::string::npos)
      << output;
  std::filesystem::create_directories(home + "/Linked.app/Contents/MacOS");
  std::filesystem::create_symlink(home + "/bin/ostrel-native-host",
                                  home + "/Linked.app/Contents/MacOS/host");
  EXPECT_NE(doctor(home + "/Linked.app/Contents/MacOS/host").find(nothing + home + "/bin/"),
            std::string::npos)
      << output;

  // Outside a bundle, a build with an application command runs it.
  launch.command = {"/usr/bin/env", "OSTREL=1", "/opt/ostrel app"};
  EXPECT_NE(doctor(home + "/bin/ostrel-native-host")
                .find("it launches: /usr/bin/env OSTREL=1 '/opt/ostrel app'"),
            std::string::npos)
      << output;
  launch.command = {"ostrel-app"};
  EXPECT_NE(doctor(home + "/bin/ostrel-native-host")
                .find("warning: on \"open_app\" nothing will start: ostrel-app is not an "
                      "executable file given by its absolute path"),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace ostrel::setup
