// The package's removal script, run against manifests the setup tool wrote
// into a scratch root, as dpkg runs it with DPKG_ROOT.

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "manifest.h"
#include "test_home.h"

namespace ostrel::setup {
namespace {

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

class PostrmTest : public TestHome {
 protected:
  int postrm(const std::string& action) {
    std::string command =
        "DPKG_ROOT=" + root + " sh " OSTREL_POSTRM " " + action + " >" + home + "/out 2>&1";
    int status = std::system(command.c_str());  // NOLINT(cert-env33-c): a fixed test command
    output = read(home + "/out");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

}  // namespace
}  // namespace ostrel::setup
