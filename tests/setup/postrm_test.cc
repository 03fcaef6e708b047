// The package's removal script, run against manifests the setup tool wrote
// into a scratch root, as dpkg runs it with DPKG_ROOT.

#include <sys/wait.h>

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

  // Removing says what stays; it deletes nothing.
  EXPECT_EQ(postrm("remove"), 0);
  EXPECT_NE(output.find("are not removed with the package"), std::string::npos) << output;
  for (const std::string& path : written) EXPECT_TRUE(exists(path)) << path;

  EXPECT_EQ(postrm("purge"), 0);
  for (const std::string& path : written) {
    EXPECT_FALSE(exists(path)) << path;
    EXPECT_NE(output.find("removed " + path), std::string::npos) << output;
  }
  EXPECT_TRUE(exists(foreign));
  EXPECT_TRUE(exists(perUser));
}

}  // namespace
}  // namespace ostrel::setup
