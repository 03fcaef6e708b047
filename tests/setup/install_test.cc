// install, uninstall and status against a temporary home folder.

#include <sys/stat.h>

#include <filesystem>

#include "files.h"
#include "manifest.h"
#include "test_home.h"

namespace ostrel::setup {
namespace {

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
constexpr const char* kOtherOrigin = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/";

class InstallTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    host = fakeHost("cat >/dev/null");
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
  EXPECT_EQ(folderEntries(parentFolder(chromiumManifest())),
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
  struct Case {
    std::string words;
    const char* complaint;
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
}

TEST_F(InstallTest, AllBrowsersTakeTheIdsThatFitThem) {
  ASSERT_EQ(run(std::string("install --browser all --origin ") + kOrigin), 0) << errors;
  EXPECT_TRUE(
      exists(home + "/.config/google-chrome/NativeMessagingHosts/com.ostrel.native_host.json"));
  EXPECT_TRUE(exists(home + "/.config/vivaldi/NativeMessagingHosts/com.ostrel.native_host.json"));
  EXPECT_FALSE(exists(firefoxManifest()));
  EXPECT_NE(output.find("skipped Firefox"), std::string::npos);

  ASSERT_EQ(run(std::string("install --browser all --extension-id ostrel@example.org --origin ") +
                kOrigin),
            0);
  ManifestReading firefox = readManifest(read(firefoxManifest()), Family::kFirefox);
  ASSERT_TRUE(firefox.manifest);
  EXPECT_EQ(firefox.manifest->allowed, std::vector<std::string>{"ostrel@example.org"});

  ASSERT_EQ(run("status"), 0);
  EXPECT_NE(output.find("Firefox, per user: installed by this tool"), std::string::npos);
  EXPECT_NE(output.find("Edge, per user: installed by this tool"), std::string::npos);
  EXPECT_NE(output.find("Edge, system-wide: not installed"), std::string::npos);

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
  EXPECT_NE(output.find("not installed"), std::string::npos);
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

  // A folder that cannot be created is reported, and the run fails.
  writeFile("root/etc/opt/chrome", "a file where a folder should be");
  EXPECT_EQ(run(std::string("install --system --browser chrome --origin ") + kOrigin),
            kExitFailure);
  EXPECT_NE(errors.find("cannot create the folder"), std::string::npos) << errors;
}

}  // namespace
}  // namespace ostrel::setup
