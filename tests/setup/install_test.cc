// install, uninstall and status against a temporary home folder.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "files.h"
#include "manifest.h"
#include "test_home.h"
#include "tools/common/child_process.h"
#include "tools/common/paths.h"
#include "tools/common/stream_io.h"
#include "tools/common/trusted_path.h"

namespace ostrel::setup {
namespace {

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
constexpr const char* kOtherOrigin = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/";

class InstallTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    host = answeringHost();
  }
  std::string chromiumManifest() const {
    return home + "/.config/chromium/NativeMessagingHosts/com.ostrel.native_host.json";
  }
  std::string firefoxManifest() const {
    return home + "/.mozilla/native-messaging-hosts/com.ostrel.native_host.json";
  }
  static std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  std::string host;
};

TEST_F(InstallTest, WritesTheManifestOnceAndIsIdempotent) {
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0) << errors;
  ManifestReading reading = readManifest(read(chromiumManifest()), Family::kChromium);
  ASSERT_TRUE(reading.manifest);
  EXPECT_TRUE(reading.problems.empty());
  EXPECT_EQ(reading.manifest->path, host);  // the host beside the tool by default
  EXPECT_EQ(reading.manifest->allowed, std::vector<std::string>{kOrigin});
  EXPECT_EQ(folderEntries(common::parentFolder(chromiumManifest())),
            std::vector<std::string>{"com.ostrel.native_host.json"});  // no temporary left
  struct stat first {};
  ASSERT_EQ(::stat(chromiumManifest().c_str(), &first), 0);
  EXPECT_EQ(first.st_mode & 0777, 0644u);

  // The same command again leaves the very same file in place.
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0);
  EXPECT_NE(output.find("already up to date"), std::string::npos);
  struct stat second {};
  ASSERT_EQ(::stat(chromiumManifest().c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);

  // Other origins replace the list.
  ASSERT_EQ(run(std::string("install --browser chromium --origin=") + kOtherOrigin), 0);
  EXPECT_NE(output.find("updated"), std::string::npos);
  EXPECT_EQ(readManifest(read(chromiumManifest()), Family::kChromium).manifest->allowed,
            std::vector<std::string>{kOtherOrigin});
}

TEST_F(InstallTest, RefusesBadValuesBeforeWritingAnything) {
  // A program that runs and says nothing, on every system alike.
  const std::string silent = writeFile("bin/silent", "#!/bin/sh\nexit 0\n", 0755);
  struct Case {
    std::string words;
    std::string complaint;
  };
  const Case cases[] = {
      {"install --browser chromium --browser edge --origin chrome-extension://bad/",
       "must be chrome-extension://"},
      {std::string("install --browser chromium --name Bad.Name --origin ") + kOrigin,
       "may contain only"},
      {std::string("install --browser chromium --host-path relative/host --origin ") + kOrigin,
       "not an absolute path"},
      {std::string("install --browser chromium --host-path /nonexistent/h --origin ") + kOrigin,
       "does not exist"},
      {"install --browser chromium --host-path " + silent + " --origin " + kOrigin,
       "\"" + silent + "\" does not name ostrel-native-host"},
      {"install --browser chromium --host-path " + writeFile("bin/plain", "") + " --origin " +
           kOrigin,
       "is not executable; make it so with: chmod +x " + home + "/bin/plain"},
      {"install --browser chromium", "give at least one --origin"},
      {"install --browser firefox --origin " + std::string(kOrigin),
       "Firefox takes --extension-id"},
      {"install --browser chrome --extension-id a@b", "Chromium-family browsers take --origin"},
      {"install --browser chrome --browser firefox --extension-id a@b",
       "give at least one --origin"},
      {"install --browser all --extension-id a@b --origin chrome-extension://x/",
       "must be chrome-extension://"},
      {"install --origin " + std::string(kOrigin), "name a browser"},
      {"install --browser vivaldi --system --origin " + std::string(kOrigin),
       "no system-wide folder is known for Vivaldi"},
      {"install --browser firefox --user-data-dir /tmp/p --extension-id a@b",
       "Chromium-family browsers only"},
      {"install --user-data-dir relative --origin " + std::string(kOrigin), "absolute path"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.words), kExitUsage) << c.words;
    EXPECT_NE(errors.find(c.complaint), std::string::npos) << c.words << " gave: " << errors;
  }
  EXPECT_FALSE(exists(home + "/.config"));
  EXPECT_FALSE(exists(home + "/.mozilla"));

  // Without --host-path, the error names the default it tried.
  ASSERT_EQ(::unlink(host.c_str()), 0);
  EXPECT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), kExitUsage);
  EXPECT_EQ(errors, "error: no host at " + host +
                        ", where this tool looks by default (beside itself); give the host's "
                        "location with --host-path /path/to/ostrel-native-host\n");
}

// A sandboxed Mac application's children live in its container: what they
// register per user, no browser reads.
TEST_F(InstallTest, RefusesAHomeInsideAMacSandboxContainer) {
  environment.platform = Platform::kMacOS;
  environment.home = home + "/Users/me/Library/Containers/com.ostrel.app/Data";
  EXPECT_EQ(run(std::string("install --browser all --origin ") + kOrigin), kExitFailure);
  EXPECT_NE(errors.find("is the sandbox container of com.ostrel.app"), std::string::npos) << errors;
  EXPECT_NE(errors.find("an installer, or a helper that is not sandboxed"), std::string::npos);
  EXPECT_FALSE(exists(home + "/Users"));
}

TEST_F(InstallTest, AllMeansTheBrowsersThatLookInstalled) {
  // Chrome by its configuration folder, Chromium and Firefox by their programs.
  std::filesystem::create_directories(home + "/.config/google-chrome");
  writeFile("programs/chromium", "", 0755);
  writeFile("programs/firefox-esr", "", 0755);
  ASSERT_EQ(run(std::string("install --browser all --origin ") + kOrigin), 0) << errors;
  EXPECT_TRUE(
      exists(home + "/.config/google-chrome/NativeMessagingHosts/com.ostrel.native_host.json"));
  EXPECT_TRUE(exists(chromiumManifest()));
  EXPECT_FALSE(exists(home + "/.config/vivaldi"));
  EXPECT_FALSE(exists(firefoxManifest()));
  for (const char* note :
       {"skipped Firefox, per user: no --extension-id given",
        "skipped Vivaldi, per user: it does not look installed (no ",
        "/.config/vivaldi, no vivaldi or vivaldi-stable on PATH); name it with --browser"}) {
    EXPECT_NE(output.find(note), std::string::npos) << note << " missing in\n" << output;
  }

  ASSERT_EQ(run(std::string("install --browser all --extension-id ostrel@example.org --origin ") +
                kOrigin),
            0);
  ManifestReading firefox = readManifest(read(firefoxManifest()), Family::kFirefox);
  ASSERT_TRUE(firefox.manifest);
  EXPECT_EQ(firefox.manifest->allowed, std::vector<std::string>{"ostrel@example.org"});

  // Named, a browser is registered whether it looks installed or not.
  ASSERT_EQ(run(std::string("install --browser edge --origin ") + kOrigin), 0) << errors;
  ASSERT_EQ(run("status"), 0);
  EXPECT_NE(output.find("Firefox, per user: installed by this tool"), std::string::npos);
  EXPECT_NE(output.find("Edge, per user: installed by this tool"), std::string::npos);
  EXPECT_NE(output.find("Edge, system-wide: not registered"), std::string::npos);

  // A registration whose host is gone is broken.
  ASSERT_EQ(::unlink(host.c_str()), 0);
  EXPECT_EQ(run("status --browser edge"), kExitFailure);
  EXPECT_NE(output.find("Edge, per user: broken, installed by this tool"), std::string::npos)
      << output;
  EXPECT_NE(output.find("broken: the host path \"" + host + "\" does not exist"),
            std::string::npos);

  ASSERT_EQ(run("uninstall"), 0) << errors;
  EXPECT_FALSE(exists(firefoxManifest()));
  EXPECT_FALSE(exists(chromiumManifest()));
  EXPECT_EQ(run("status"), kExitFailure);
  EXPECT_NE(output.find("not registered"), std::string::npos);
}

TEST_F(InstallTest, LeavesManifestsItDidNotWriteAlone) {
  const std::string foreign = R"({"name":"com.ostrel.native_host","description":"by hand",)"
                              R"("path":"/x","type":"stdio","allowed_origins":["o"]})";
  writeFile(".config/chromium/NativeMessagingHosts/com.ostrel.native_host.json", foreign);
  writeFile(".mozilla/native-messaging-hosts/com.ostrel.native_host.json", "{broken");

  EXPECT_EQ(run("uninstall --browser chromium --browser firefox"), 0) << errors;
  EXPECT_NE(output.find("left alone"), std::string::npos);
  EXPECT_EQ(read(chromiumManifest()), foreign);
  EXPECT_EQ(read(firefoxManifest()), "{broken");

  EXPECT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), kExitFailure);
  EXPECT_NE(errors.find("not written by this tool"), std::string::npos);
  EXPECT_EQ(read(chromiumManifest()), foreign);

  EXPECT_EQ(run(std::string("install --browser chromium --force --origin ") + kOrigin), 0);
  EXPECT_TRUE(isOwnManifest(*readManifest(read(chromiumManifest()), Family::kChromium).manifest));
  EXPECT_EQ(run("uninstall --browser chromium"), 0);
  EXPECT_FALSE(exists(chromiumManifest()));
  EXPECT_EQ(run("uninstall --browser chromium"), 0);  // nothing left to do is no failure
  EXPECT_NE(output.find("not registered"), std::string::npos);
}

TEST_F(InstallTest, ProfileFolderAndSystemWideFolders) {
  std::string profile = home + "/profile";
  ASSERT_EQ(run("install --user-data-dir " + profile + " --origin " + kOrigin), 0) << errors;
  EXPECT_TRUE(exists(profile + "/NativeMessagingHosts/com.ostrel.native_host.json"));
  EXPECT_FALSE(exists(home + "/.config"));
  EXPECT_EQ(run("install --user-data-dir " + profile + " --system --origin " + kOrigin),
            kExitUsage);

  ASSERT_EQ(run(std::string("install --system --browser chromium --origin ") + kOrigin), 0)
      << errors;
  EXPECT_TRUE(exists(root + "/etc/chromium/native-messaging-hosts/com.ostrel.native_host.json"));
  EXPECT_FALSE(exists(chromiumManifest()));
}

TEST_F(InstallTest, FolderModesAndManifestsThatAreLinks) {
  // Per-user folders are private whatever the umask; system-wide ones are
  // readable by every user's browser even under a strict umask.
  mode_t saved = ::umask(0);
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0) << errors;
  ::umask(077);
  ASSERT_EQ(run(std::string("install --system --browser chromium --origin ") + kOrigin), 0);
  ::umask(saved);
  auto mode = [](const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  };
  for (const char* folder :
       {"/.config", "/.config/chromium", "/.config/chromium/NativeMessagingHosts"}) {
    EXPECT_EQ(mode(home + folder), 0700u) << folder;
  }
  EXPECT_EQ(mode(root + "/etc/chromium/native-messaging-hosts"), 0755u);

  // A manifest kept elsewhere and linked into place is written through the link.
  std::string kept = writeFile("dotfiles/host.json", read(chromiumManifest()));
  ASSERT_EQ(::unlink(chromiumManifest().c_str()), 0);
  ASSERT_EQ(::symlink("../../../dotfiles/host.json", chromiumManifest().c_str()), 0);
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOtherOrigin), 0) << errors;
  struct stat link {};
  ASSERT_EQ(::lstat(chromiumManifest().c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(readManifest(read(kept), Family::kChromium).manifest->allowed,
            std::vector<std::string>{kOtherOrigin});
}

// No write lands where a link or a folder of someone else leads, and no
// refusal suggests --force where --force would follow the link.
TEST_F(InstallTest, WritesNothingWhereAnotherUserCouldSteerIt) {
  const std::string precious = writeFile("precious", "not a manifest\n", 0600);
  const std::string system = root + "/etc/chromium/native-messaging-hosts";
  std::filesystem::create_directories(system);
  ASSERT_EQ(::symlink(precious.c_str(), (system + "/com.ostrel.native_host.json").c_str()), 0);
  EXPECT_EQ(run(std::string("install --system --force --browser chromium --origin ") + kOrigin),
            kExitFailure);
  EXPECT_NE(errors.find(" is a symbolic link to " + precious + ", which was not written by this"),
            std::string::npos)
      << errors;
  EXPECT_EQ(errors.find("--force"), std::string::npos) << errors;
  EXPECT_EQ(read(precious), "not a manifest\n");

  if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root, to own files as another user";
  constexpr uid_t kOther = 65534;
  // Root with another user's HOME, as sudo -E gives it: that user's link
  // would lead root's write onto a root-owned file.
  const std::string victim = home + "/victim";
  std::filesystem::create_directories(victim + "/.local/share/ostrel-native-host");
  const std::string script = victim + "/.local/share/ostrel-native-host/com.ostrel.native_host-tap";
  ASSERT_EQ(::symlink(precious.c_str(), script.c_str()), 0);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(victim)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), kOther, kOther), 0);
  }
  ASSERT_EQ(::chown(victim.c_str(), kOther, kOther), 0);
  writeFile("bin/ostrel-native-host-tap", "#!/bin/sh\n", 0755);
  environment.home = victim;
  environment.configHome = victim + "/.config";
  ::setenv("HOME", victim.c_str(), 1);
  EXPECT_EQ(run("install --browser chromium --trace " + home + "/trace.log --origin " +
                std::string(kOrigin)),
            kExitFailure);
  EXPECT_NE(errors.find(victim + " belongs to " + common::userText(kOther) +
                        ", not to root (uid 0), who runs this"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("nothing was written"), std::string::npos) << errors;
  EXPECT_FALSE(exists(home + "/trace.log"));
  EXPECT_FALSE(exists(victim + "/.config"));
  // Nor does uninstall read there: a FIFO in place of a manifest holds
  // nothing up (the tool runs apart, so that a wait fails the test).
  const std::string fifo = victim + "/.config/chromium/NativeMessagingHosts";
  std::filesystem::create_directories(fifo);
  ASSERT_EQ(::mkfifo((fifo + "/com.ostrel.native_host.json").c_str(), 0600), 0);
  common::ChildProcess uninstall(
      common::Launch{.argv = {OSTREL_SETUP_TOOL, "uninstall", "--browser", "chromium"},
                     .environment = common::environmentWith({"HOME=" + victim})});
  std::optional<int> status = uninstall.waitExit(common::kDeadline);
  ASSERT_TRUE(status) << "uninstall waits on a FIFO in another user's home";
  EXPECT_EQ(WEXITSTATUS(*status), kExitFailure);
  std::string said;
  common::readAvailable(uninstall.errors(), said);
  EXPECT_NE(said.find("cannot remove " + fifo + "/com.ostrel.native_host.json: " + victim +
                      " belongs to " + common::userText(kOther)),
            std::string::npos)
      << said;

  // A system-wide folder that is another user's link.
  ASSERT_EQ(::symlink((home + "/elsewhere").c_str(), (root + "/etc/opt").c_str()), 0);
  ASSERT_EQ(::lchown((root + "/etc/opt").c_str(), kOther, kOther), 0);
  EXPECT_EQ(run(std::string("install --system --browser edge --origin ") + kOrigin), kExitFailure);
  EXPECT_NE(
      errors.find(root + "/etc/opt is a symbolic link that belongs to " + common::userText(kOther)),
      std::string::npos)
      << errors;
  EXPECT_FALSE(exists(home + "/elsewhere"));
  EXPECT_EQ(read(precious), "not a manifest\n");
}

TEST_F(InstallTest, AFailedWriteTakesBackTheWholeRun) {
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0);
  const std::string before = read(chromiumManifest());
  // Chrome's folders are new, Chromium's manifest is replaced, then
  // Firefox's, longer than the others, is past the size this process may
  // write (which holds for root too).
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = before.size() + 15;
  ASSERT_NE(::signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int status =
      run("install --browser chrome --browser chromium --browser firefox --origin " +
          std::string(kOtherOrigin) + " --extension-id " + std::string(68, 'x') + "@example.org");
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ::signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(status, kExitFailure);
  EXPECT_NE(errors.find("cannot write " + firefoxManifest() + ": " + std::strerror(EFBIG)),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("undone: restored " + chromiumManifest()), std::string::npos) << errors;
  EXPECT_NE(errors.find("nothing was registered; what this run had written is taken back"),
            std::string::npos);
  EXPECT_EQ(output, "");
  EXPECT_EQ(read(chromiumManifest()), before);
  EXPECT_FALSE(exists(home + "/.config/google-chrome"));
  EXPECT_FALSE(exists(home + "/.mozilla"));
}

// What install and uninstall say, and leave behind, in the cases that
// used to mislead.
TEST_F(InstallTest, SaysWhatItDidAndWhatRemains) {
  answeringHost();
  // A bare id is that extension's origin; a mangled one gets the exact one.
  ASSERT_EQ(run("install --browser chromium --origin abcdefghijklmnopabcdefghijklmnop"), 0)
      << errors;
  EXPECT_EQ(readManifest(read(chromiumManifest()), Family::kChromium).manifest->allowed,
            std::vector<std::string>{kOrigin});
  EXPECT_NE(output.find("it connects briefly to the application if that is running"),
            std::string::npos)
      << output;
  EXPECT_EQ(run("install --browser chromium --origin "
                "chrome-extension://abcdefghijklmnopabcdefghijklmnop"),
            kExitUsage);
  EXPECT_NE(errors.find("did you mean " + std::string(kOrigin) + " ?"), std::string::npos)
      << errors;

  // A folder no browser made is named, and still used.
  ASSERT_EQ(
      run(std::string("install --user-data-dir ") + home + "/not-a-profile --origin " + kOrigin),
      0);
  EXPECT_NE(errors.find("does not look like a browser's profile folder"), std::string::npos)
      << errors;

  // Per user, uninstall takes its folders away and names the system-wide
  // registration that remains.
  ASSERT_EQ(run(std::string("install --system --browser chromium --origin ") + kOrigin), 0);
  EXPECT_EQ(run("uninstall --browser chromium"), 0);
  EXPECT_FALSE(exists(home + "/.config/chromium")) << output;
  EXPECT_NE(output.find("a system-wide registration remains at " + root +
                        "/etc/chromium/native-messaging-hosts/com.ostrel.native_host.json"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("sudo ostrel-native-host-setup uninstall --system --browser chromium"),
            std::string::npos);
  run("status --browser chromium");
  EXPECT_NE(output.find("Chromium, per user: not registered"), std::string::npos) << output;
}

// One command registers the tap in the host's place, one takes it out.
TEST_F(InstallTest, TraceRegistersTheTapAndInstallWithoutItTakesItOut) {
  answeringHost();
  writeFile("bin/ostrel-native-host-tap", "#!/bin/sh\n", 0755);
  const std::string script = home + "/.local/share/ostrel-native-host/com.ostrel.native_host-tap";
  const std::string log = home + "/it's-traced.log";
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin + " --trace " + log),
            0)
      << errors;
  EXPECT_EQ(readManifest(read(chromiumManifest()), Family::kChromium).manifest->path, script);
  EXPECT_TRUE(exists(log)) << "the log is made at once, so a wrong path shows now";
  // The script runs the tap with the log and the host, the browser's
  // arguments passed on; a quote in a path survives the shell.
  const std::string shown = home + "/shown";
  writeFile("bin/ostrel-native-host-tap", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + shown + "'\n",
            0755);
  ASSERT_EQ(std::system(("'" + script + "' chrome-extension://x/").c_str()), 0);
  EXPECT_EQ(read(shown), "--log\n" + log + "\n--host\n" + home +
                             "/bin/ostrel-native-host\n--\nchrome-extension://x/\n");

  EXPECT_EQ(run(std::string("install --system --browser chromium --trace x --origin ") + kOrigin),
            kExitFailure);
  EXPECT_NE(errors.find("leave out --system"), std::string::npos) << errors;

  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0) << errors;
  EXPECT_EQ(readManifest(read(chromiumManifest()), Family::kChromium).manifest->path,
            home + "/bin/ostrel-native-host");
  EXPECT_FALSE(exists(script));
  EXPECT_FALSE(exists(home + "/.local/share/ostrel-native-host"));

  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin + " --trace " + log),
            0);
  EXPECT_EQ(run("uninstall --browser chromium"), 0);
  EXPECT_FALSE(exists(script)) << output;
}

// The tap's script stays while any registration names it, a profile
// folder's included; a failed --trace leaves nothing behind; the log that
// stays is named.
TEST_F(InstallTest, TheTapStaysWhileARegistrationNamesIt) {
  writeFile("bin/ostrel-native-host-tap", "#!/bin/sh\n", 0755);
  const std::string script = home + "/.local/share/ostrel-native-host/com.ostrel.native_host-tap";
  const std::string log = home + "/trace.log";
  const std::string profile = " --user-data-dir " + home + "/profile --origin " + kOrigin;
  const std::string browser = std::string(" --browser chromium --origin ") + kOrigin;
  const std::string traced = " --trace " + log;
  for (const auto& [first, second] : {std::pair{browser, profile}, std::pair{profile, browser}}) {
    ASSERT_EQ(run("install" + first + traced), 0) << errors;
    ASSERT_EQ(run("install" + second + traced), 0) << errors;
    ASSERT_EQ(run("install" + first), 0) << errors;
    EXPECT_TRUE(exists(script)) << first << " took out the tap that" << second << " names";
    ASSERT_EQ(run("uninstall" + second.substr(0, second.find(" --origin"))), 0) << errors;
    EXPECT_FALSE(exists(script)) << output;
    EXPECT_NE(output.find("note: the tap's log " + log + " stays"), std::string::npos) << output;
  }

  // A --trace that fails takes back the script and the log it made.
  ::unlink(log.c_str());
  ASSERT_EQ(run("install" + profile), 0) << errors;
  writeFile(".config/microsoft-edge", "a file where a folder should be");
  EXPECT_EQ(
      run("install --browser chromium --browser edge --origin " + std::string(kOrigin) + traced),
      kExitFailure);
  EXPECT_NE(errors.find("nothing was written"), std::string::npos) << errors;
  EXPECT_FALSE(exists(script));
  EXPECT_FALSE(exists(log));
  // The script is written, then the manifest, with many origins, is past
  // the size this process may write.
  std::string origins;
  for (char letter = 'a'; letter <= 'p'; ++letter) {
    origins += " --origin chrome-extension://" + std::string(32, letter) + "/";
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 700;
  ASSERT_NE(::signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int status = run("install --browser chromium" + origins + traced);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ::signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(status, kExitFailure);
  EXPECT_NE(errors.find("undone: removed " + script), std::string::npos) << errors;
  EXPECT_NE(errors.find("nothing was registered; what this run had written is taken back"),
            std::string::npos)
      << errors;
  EXPECT_FALSE(exists(script));
  EXPECT_FALSE(exists(log));
}

}  // namespace
}  // namespace ostrel::setup
