// Another user's attempts to make the doctor run a program of theirs, with
// the doctor run by root and by an ordinary user: a set-user-id program
// started by the attacker under a browser's name with the attacker's profile
// folder, the user's own browser-named processes carrying a loader variable
// and a search path into the attacker's folder, and a manifest naming a
// program there. The attacker's programs leave a file when they run; none
// may appear, while the user's own host is started, with an environment of
// the doctor's making.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "fake_browser.h"
#include "peers/temp_dir.h"
#include "tools/common/child_process.h"
#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"

namespace ostrel::doctor::tests {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kAttacker = 65533;
constexpr uid_t kUser = 65532;
constexpr const char* kId = "abcdefghijklmnopabcdefghijklmnop";
constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

class World {
 public:
  // `user` runs the doctor; kAttacker owns the attacker's folder.
  explicit World(uid_t user) : user_(user) {
    ::chmod(folder_.path().c_str(), 0755);
    home = folder_.file("home");
    attacker = folder_.file("attacker");
    markers = attacker + "/lib";
  }

  // Writes `text` at `path` for `owner`, folders on the way made for it too.
  void write(const std::string& path, const std::string& text, uid_t owner, mode_t mode = 0644) {
    const fs::path folder = fs::path(path).parent_path();
    if (!fs::exists(folder)) {
      fs::create_directories(folder);
      for (fs::path made = folder; made.string().size() > folder_.path().size();
           made = made.parent_path()) {
        ASSERT_EQ(::chown(made.c_str(), owner, owner), 0) << made;
        ASSERT_EQ(::chmod(made.c_str(), 0755), 0) << made;
      }
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  }

  void arrange() {
    auto manifest = [](const std::string& host, const std::string& allowed) {
      return R"({"name":"com.ostrel.native_host","description":"d","type":"stdio","path":")" +
             host + "\"," + allowed + "}";
    };
    const std::string origins = std::string(R"("allowed_origins":[")") + kOrigin + "\"]";
    const std::string preferences =
        std::string(R"({"extensions":{"settings":{")") + kId +
        R"(":{"location":4,"active_permissions":{"api":["nativeMessaging"]}}}}})";
    // The attacker's: a program that says it ran, a profile whose manifest
    // names it, and a library for the loader.
    write(attacker + "/evil", "#!/bin/sh\n: > \"" + markers + "/ran-as-$(id -u)\"\n", kAttacker,
          0755);
    write(attacker + "/profile/NativeMessagingHosts/com.ostrel.native_host.json",
          manifest(attacker + "/evil", origins), kAttacker);
    write(attacker + "/profile/Default/Preferences", preferences, kAttacker);
    write(markers + "/libmark.so", readAll(OSTREL_PRELOAD_MARKER), kAttacker);
    ASSERT_EQ(::chmod(markers.c_str(), 01777), 0);
    // The user's: a registration of a wrapper that keeps the environment it
    // got and starts the host; a profile with the extension installed; and
    // a Firefox registration that names the attacker's program.
    write(
        home + "/bin/host",
        "#!/bin/sh\nenv > \"" + home + "/host-environment\"\nexec " OSTREL_HOST_BINARY " \"$@\"\n",
        user_, 0755);
    write(home + "/.config/chromium/NativeMessagingHosts/com.ostrel.native_host.json",
          manifest(home + "/bin/host", origins), user_);
    write(home + "/.config/chromium/Default/Preferences", preferences, user_);
    write(home + "/.mozilla/native-messaging-hosts/com.ostrel.native_host.json",
          manifest(attacker + "/evil", R"("allowed_extensions":["a@b.org"])"), user_);
  }

  // A program started as `who` (with setpriv), with exactly `environment`.
  std::unique_ptr<common::ChildProcess> startAs(uid_t who, const std::vector<std::string>& argv,
                                                const std::vector<std::string>& environment) {
    std::vector<std::string> all = {"/usr/bin/setpriv",
                                    "--reuid=" + std::to_string(who),
                                    "--regid=" + std::to_string(who),
                                    "--clear-groups",
                                    "/usr/bin/env",
                                    "-i"};
    all.insert(all.end(), environment.begin(), environment.end());
    all.insert(all.end(), argv.begin(), argv.end());
    return std::make_unique<common::ChildProcess>(
        common::Launch{.argv = all, .environment = {"PATH=/usr/bin:/bin"}});
  }

  // Whether `process` comes to run `program` as `effective`, its command
  // line shown (an exec shows the executable a moment before it).
  static bool shown(const common::ChildProcess& process, const std::string& program,
                    uid_t effective) {
    return common::waitUntil([&] {
      const std::optional<common::ProcessIdentity> identity = common::identityOf(process.pid());
      const auto words = common::commandLineOf(process.pid());
      return identity && identity->executable == program && identity->effectiveUser == effective &&
             words && !words->empty() &&
             fs::path(words->front()).filename() == fs::path(program).filename();
    });
  }

  // The doctor as the user, with `options`: its output.
  std::string doctor(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {OSTREL_SETUP_TOOL, "doctor"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::unique_ptr<common::ChildProcess> run =
        startAs(user_, argv, {"HOME=" + home, "PATH=/usr/bin:/bin"});
    run->closeInput();
    std::string said;
    while (common::waitReadable(run->output(), std::chrono::seconds(60)) &&
           common::readAvailable(run->output(), said)) {
    }
    EXPECT_TRUE(run->waitExit(std::chrono::seconds(60)));
    return said;
  }

  static std::string readAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  std::string home;
  std::string attacker;
  std::string markers;

 private:
  uid_t user_;
  peers::TempDir folder_;
};

TEST(DoctorUnderAttack, RunsNothingAnotherUserNames) {
#ifdef __APPLE__
  GTEST_SKIP() << "starts the attacker's programs with setpriv, which only Linux has";
#endif
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be the attacker and the user in turn";
  for (const uid_t user : {uid_t{0}, kUser}) {
    SCOPED_TRACE("the doctor run by uid " + std::to_string(user));
    World world(user);
    world.arrange();
    if (testing::Test::HasFatalFailure()) return;
    // su waiting for a password, as the attacker started it.
    const std::string setUserId = browserProgram(world.home + "/../setuid", "chromium");
    ASSERT_EQ(::chmod(setUserId.c_str(), 04755), 0);
    std::unique_ptr<common::ChildProcess> stolen =
        world.startAs(kAttacker, {setUserId, "--user-data-dir=" + world.attacker + "/profile"},
                      {"HOME=" + world.attacker, "LD_PRELOAD=" + world.markers + "/libmark.so"});
    ASSERT_TRUE(World::shown(*stolen, fs::canonical(setUserId), 0))
        << "the set-user-id stand-in did not come to run as root for the attacker";
    // The user's own browsers, as a confined application sharing the user's
    // id could start them: a loader variable and a search path of the
    // attacker's, one with the attacker's profile folder too.
    const std::string plain = fs::canonical(browserProgram(world.home + "/../plain", "chromium"));
    const std::vector<std::string> environment = {"HOME=" + world.home,
                                                  "LD_PRELOAD=" + world.markers + "/libmark.so",
                                                  "PATH=" + world.attacker + ":/usr/bin:/bin",
                                                  "OSTREL_SOCKET_PATH=" + world.home + "/app.sock"};
    std::unique_ptr<common::ChildProcess> own = world.startAs(user, {plain}, environment);
    std::unique_ptr<common::ChildProcess> led =
        world.startAs(user, {plain, "--user-data-dir=" + world.attacker + "/profile"}, environment);
    ASSERT_TRUE(World::shown(*own, plain, user) && World::shown(*led, plain, user));

    std::string said;
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{},
          {"--json"},
          {"--browser", "chromium", "--origin", kOrigin},
          {"--browser", "firefox", "--extension-id", "a@b.org"}}) {
      said += world.doctor(options);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(world.markers)) {
      if (entry.path().filename() != "libmark.so") left.push_back(entry.path().filename());
    }
    EXPECT_TRUE(left.empty()) << "the attacker's programs ran: " << testing::PrintToString(left)
                              << "\n"
                              << said;
    // The user's own host did run, with what the host reads and a search
    // path of the system's.
    const std::string got = World::readAll(world.home + "/host-environment");
    EXPECT_NE(got.find("OSTREL_SOCKET_PATH=" + world.home + "/app.sock\n"), std::string::npos)
        << got;
    EXPECT_NE(got.find("PATH=/usr/bin:/bin\n"), std::string::npos) << got;
    EXPECT_EQ(got.find("LD_PRELOAD"), std::string::npos) << got;
    EXPECT_NE(
        said.find("not started, since another user could choose what runs: " + world.attacker),
        std::string::npos)
        << said;
    if (user == 0) {
      EXPECT_NE(said.find("run as root, the doctor reads no folder a process names"),
                std::string::npos)
          << said;
    }
    for (auto* process : {stolen.get(), own.get(), led.get()}) process->signal(SIGKILL);
  }
}

// Root's doctor with another user's home (sudo -E, su without -) reads no
// file there: their manifest, linked to a file only root may read, would
// have the doctor tell what that file holds.
TEST(DoctorUnderAttack, RootReadsNoFileAnotherUserCouldChoose) {
#ifdef __APPLE__
  GTEST_SKIP() << "runs the doctor with setpriv, which only Linux has";
#endif
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be the attacker and root in turn";
  World world(0);
  const std::string secret = "ponmlkjihgfedcbaponmlkjihgfedcba";
  const std::string file = fs::path(world.attacker).parent_path() / "secret.json";
  world.write(file,
              R"({"name":"com.ostrel.native_host","description":"d","type":"stdio","path":"/h",)"
              R"("allowed_origins":["chrome-extension://)" +
                  secret + "/\"]}",
              0, 0600);
  const std::string folder = world.attacker + "/.config/chromium/NativeMessagingHosts";
  world.write(folder + "/README", "", kAttacker);
  const std::string link = folder + "/com.ostrel.native_host.json";
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(::lchown(link.c_str(), kAttacker, kAttacker), 0);
  world.home = world.attacker;
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"--browser", "chromium", "--origin", kOrigin}}) {
    const std::string said = world.doctor(options);
    EXPECT_EQ(said.find(secret), std::string::npos) << said;
    EXPECT_NE(said.find("as root, this tool reads no file that another user could choose: " +
                        world.attacker + " belongs to uid 65533"),
              std::string::npos)
        << said;
  }
}

}  // namespace
}  // namespace ostrel::doctor::tests
