// The package's removal script, run against manifests the setup tool wrote
// into a scratch root, as dpkg runs it with DPKG_ROOT.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "files.h"
#include "manifest.h"
#include "test_home.h"
#include "tools/common/child_process.h"
#include "tools/common/stream_io.h"
#include "trace.h"

namespace ostrel::setup {
namespace {

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

class PostrmTest : public TestHome {
 protected:
  void SetUp() override {
#ifdef __APPLE__
    GTEST_SKIP() << "the removal script runs under dpkg only, where dd and sed are GNU's: "
                    "macOS's dd refuses iflag=nofollow,nonblock, and its sed has no -z";
#endif
    TestHome::SetUp();
  }

  // Runs the script as dpkg does, in `folder`; -1 when it did not end in
  // time.
  int postrm(const std::string& action, const std::string& folder = "") {
    common::ChildProcess script(
        common::Launch{.argv = {"/bin/sh", OSTREL_POSTRM, action},
                       .environment = common::environmentWith({"DPKG_ROOT=" + root}),
                       .workingDirectory = folder});
    std::optional<int> status = script.waitExit(common::kDeadline);
    output.clear();
    common::readAvailable(script.output(), output);
    common::readAvailable(script.errors(), output);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }
};

TEST_F(PostrmTest, PurgeRemovesOnlyTheSystemWideManifestsTheToolWrote) {
  answeringHost();
  // Every browser with a system-wide folder, under two host names.
  std::string browsers;
  std::vector<std::string> written;
  for (const Browser& browser : allBrowsers()) {
    if (!manifestFolder(browser, Scope::kSystem, environment)) continue;
    browsers += " --browser " + std::string(browser.key);
    for (const char* name : {"com.ostrel.native_host", "com.example.other"}) {
      written.push_back(*manifestFolder(browser, Scope::kSystem, environment) + "/" +
                        manifestFileName(name));
    }
  }
  for (const char* name : {"com.ostrel.native_host", "com.example.other"}) {
    ASSERT_EQ(run("install --system" + browsers + " --name " + name + " --origin " + kOrigin +
                  " --extension-id ostrel@example.org"),
              0)
        << errors;
  }
  std::string foreign = writeFile("root/etc/chromium/native-messaging-hosts/com.hand.json",
                                  R"({"name":"com.hand","description":"by hand"})");
  std::string perUser = home + "/.config/chromium/NativeMessagingHosts/com.ostrel.native_host.json";
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0);
  // The same registration in the home folder of a user the script looks at.
  std::string otherUser = writeFile(
      "root/home/someone/.config/chromium/NativeMessagingHosts/com.ostrel.native_host.json",
      read(perUser));

  // Removing names what stays and how it goes; it deletes nothing.
  EXPECT_EQ(postrm("remove"), 0);
  EXPECT_NE(output.find("now name a host that is gone"), std::string::npos) << output;
  EXPECT_NE(output.find("apt purge ostrel-native-host"), std::string::npos) << output;
  EXPECT_NE(output.find("  " + otherUser + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("~/.mozilla/native-messaging-hosts"), std::string::npos) << output;
  for (const std::string& path : written) {
    EXPECT_TRUE(exists(path)) << path;
    EXPECT_NE(output.find("  " + path + "\n"), std::string::npos) << output;
  }
  EXPECT_EQ(output.find(foreign), std::string::npos) << output;

  EXPECT_EQ(postrm("purge"), 0);
  for (const std::string& path : written) {
    EXPECT_FALSE(exists(path)) << path;
    EXPECT_NE(output.find("removed " + path), std::string::npos) << output;
  }
  EXPECT_TRUE(exists(foreign));
  EXPECT_TRUE(exists(perUser));
  // The folders the tool made are gone, up to what was there before; the
  // one holding the foreign manifest stays.
  for (const char* folder : {"/etc/opt/chrome", "/etc/opt/edge", "/usr/lib/mozilla"}) {
    EXPECT_FALSE(exists(root + folder)) << folder;
  }
  EXPECT_TRUE(exists(root + "/etc/chromium/native-messaging-hosts"));
  for (const char* folder : {"/etc/opt", "/usr/lib"}) EXPECT_TRUE(exists(root + folder)) << folder;

  // With nothing left, removing names no registration.
  ASSERT_EQ(std::remove(otherUser.c_str()), 0);
  EXPECT_EQ(postrm("remove"), 0);
  EXPECT_EQ(output.find("now name a host that is gone"), std::string::npos) << output;
}

// What users keep in their homes cannot make the script, run as root,
// follow them elsewhere, wait, read much, or split a name.
TEST_F(PostrmTest, LooksIntoHomesWithoutFollowingWaitingOrSplittingNames) {
  answeringHost();
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0) << errors;
  const std::string marked =
      read(home + "/.config/chromium/NativeMessagingHosts/com.ostrel.native_host.json");
  const std::string folder = "root/home/someone/.config/chromium/NativeMessagingHosts/";
  const std::string spaced = writeFile(folder + "copy of old.json", marked);
  writeFile(folder + "late.json", std::string(100000, ' ') + marked);
  const std::string fifo = home + "/root/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((home + "/" + folder + "fifo.json").c_str(), 0600), 0);
  ASSERT_EQ(::symlink(fifo.c_str(), (home + "/" + folder + "kmsg.json").c_str()), 0);
  const std::string secret = writeFile("root/secret", marked, 0600);
  ASSERT_EQ(::symlink(secret.c_str(), (home + "/" + folder + "secret.json").c_str()), 0);
  // A folder that is a link: what it leads to is not looked at.
  writeFile("root/elsewhere/native-messaging-hosts/linked.json", marked);
  std::filesystem::create_directories(root + "/home/linked");
  ASSERT_EQ(::symlink((root + "/elsewhere").c_str(), (root + "/home/linked/.mozilla").c_str()), 0);
  const std::string tap =
      writeFile("root/home/someone/.local/share/ostrel-native-host/com.ostrel.native_host-tap",
                "#!/bin/sh\n" + std::string(kTraceScriptMark) + "\n", 0755);

  ASSERT_EQ(postrm("remove"), 0) << output;
  EXPECT_NE(output.find("  " + spaced + "\n"), std::string::npos) << output;
  for (const char* name : {"late.json", "fifo.json", "kmsg.json", "secret.json", "linked.json"}) {
    EXPECT_EQ(output.find(name), std::string::npos) << name << " in\n" << output;
  }
  EXPECT_NE(output.find("these tap scripts, registered with ostrel-native-host-setup install "
                        "--trace, run a host that is gone:\n  " +
                        tap + "\n"),
            std::string::npos)
      << output;

  // Purging removes a system-wide manifest whose name has spaces, and
  // nothing named by a piece of it.
  const std::string system =
      writeFile("root/etc/chromium/native-messaging-hosts/copy of old.json", marked);
  const std::string here = home + "/here";
  writeFile("here/copy", "");
  writeFile("here/old.json", "");
  ASSERT_EQ(postrm("purge", here), 0) << output;
  EXPECT_FALSE(exists(system)) << output;
  EXPECT_TRUE(exists(here + "/copy"));
  EXPECT_TRUE(exists(here + "/old.json"));
  EXPECT_TRUE(exists(spaced));
}

// Users' file names reach root's terminal only made printable, and what
// they keep in their folders costs the removal a bounded number of reads.
TEST_F(PostrmTest, PrintsNamesSafelyAndReadsABoundedNumberOfFiles) {
  answeringHost();
  ASSERT_EQ(run(std::string("install --browser chromium --origin ") + kOrigin), 0) << errors;
  const std::string marked =
      read(home + "/.config/chromium/NativeMessagingHosts/com.ostrel.native_host.json");
  const std::string folder = "root/home/a/.config/chromium/NativeMessagingHosts/";
  writeFile(folder + "x\x1b[2J\nostrel-native-host: removed \xc2\x9b.json", marked);
  ASSERT_EQ(postrm("remove"), 0) << output;
  EXPECT_NE(output.find("  " + home + "/" + folder +
                        "x\\033[2J\\nostrel-native-host: removed \\302\\233.json\n"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find_first_of("\x1b\x9b"), std::string::npos) << output;
  EXPECT_EQ(output.find("\nostrel-native-host: removed"), std::string::npos) << output;

  // Empty files cost nothing; of the rest, 200 are read.
  for (int i = 0; i < 300; ++i)
    writeFile("root/home/b/.mozilla/native-messaging-hosts/" + std::to_string(i) + ".json", "");
  for (int i = 0; i < 210; ++i)
    writeFile("root/home/c/.config/vivaldi/NativeMessagingHosts/" + std::to_string(i) + ".json",
              marked);
  ASSERT_EQ(postrm("remove"), 0) << output;
  EXPECT_NE(output.find("ostrel-native-host: 11 more files in users' browser folders were not "
                        "looked into (removal reads at most 200)"),
            std::string::npos)
      << output;
  std::size_t named = 0;
  for (std::size_t at = output.find("\n  "); at != std::string::npos;
       at = output.find("\n  ", at + 1)) {
    ++named;
  }
  EXPECT_EQ(named, 200u) << output;
}

}  // namespace
}  // namespace ostrel::setup
