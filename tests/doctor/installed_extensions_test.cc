// doctor against fake browser profiles: what the browser has installed set
// against what the registrations allow.

#include "installed_extensions.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fake_browser.h"
#include "test_home.h"
#include "tools/common/child_process.h"
#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"

namespace ostrel::setup {
namespace {

const std::string kId = "abcdefghijklmnopabcdefghijklmnop";
const std::string kOneOff = "abcdefghijklmnopabcdefghijklmnoa";

class InstalledExtensionsTest : public TestHome {
 protected:
  void chromiumProfile(const std::string& browserFolder, const std::string& profile,
                       const std::string& id, int location) {
    writeFile(".config/" + browserFolder + "/" + profile + "/Preferences",
              R"({"extensions":{"settings":{")" + id + R"(":{"location":)" +
                  std::to_string(location) + R"(,"manifest":{"name":"Mine"}}}}})");
  }
  bool says(const std::string& text) const { return output.find(text) != std::string::npos; }
};

TEST_F(InstalledExtensionsTest, NamesAnOriginOneLetterOffWithTheCommandThatMendsIt) {
  answeringHost();
  chromiumProfile("chromium", "Default", kOneOff, 4);
  const std::string before = read(home + "/.config/chromium/Default/Preferences");
  ASSERT_EQ(run("install --browser chromium --origin chrome-extension://" + kId + "/"), 0)
      << errors;
  EXPECT_EQ(run("doctor --browser chromium"), kExitFailure);
  EXPECT_TRUE(says("it allows chrome-extension://" + kId + "/")) << output;
  EXPECT_TRUE(
      says("which is 1 letter off the installed " + kOneOff + " (\"Mine\"), loaded unpacked,"))
      << output;
  EXPECT_TRUE(
      says("fix: ostrel-native-host-setup install --browser chromium --origin "
           "chrome-extension://" +
           kOneOff +
           "/\n  what to do: run it if the installed one is the extension "
           "meant to connect"))
      << output;
  EXPECT_TRUE(says("no extension the registration allows is installed")) << output;
  EXPECT_EQ(read(home + "/.config/chromium/Default/Preferences"), before) << "nothing is written";

  // Mended as told, the same profile is fine.
  ASSERT_EQ(run("install --browser chromium --origin chrome-extension://" + kOneOff + "/"), 0);
  run("doctor --browser chromium");
  EXPECT_TRUE(says("ok: allowed and installed: " + kOneOff)) << output;
}

TEST_F(InstalledExtensionsTest, NamesAnExtensionInABrowserNoRegistrationCovers) {
  answeringHost();
  chromiumProfile("chromium", "Profile 1", kId, 1);
  ASSERT_EQ(run("install --browser chrome --origin chrome-extension://" + kId + "/"), 0) << errors;
  EXPECT_EQ(run("doctor"), kExitFailure);
  EXPECT_TRUE(says("allowed, but it will not connect: " + kId + " (\"Mine\") in the profile " +
                   home + "/.config/chromium/Profile 1: no manifest named " +
                   "com.ostrel.native_host.json is in " + home +
                   "/.config/chromium/NativeMessagingHosts"))
      << output;
  EXPECT_TRUE(
      says("fix: ostrel-native-host-setup install --browser chromium --origin "
           "chrome-extension://" +
           kId + "/\n"))
      << output;
}

// Profiles in the layout newer Firefox releases make for a new user.
TEST_F(InstalledExtensionsTest, FirefoxProfilesAndAnAddOnOfAnotherId) {
  answeringHost();
  writeFile(".config/mozilla/firefox/profiles.ini",
            "[General]\r\nStartWithLastProfile=1\r\n\r\n[Profile0]\r\nName=default\r\n"
            "IsRelative=1\r\nPath=abc.default\r\n");
  writeFile(".config/mozilla/firefox/abc.default/extensions.json",
            R"({"addons":[{"id":"ostre1@example.org","type":"extension","location":"app-profile",)"
            R"("defaultLocale":{"name":"Ostrel"}},)"
            R"({"id":"formautofill@mozilla.org","type":"extension","location":"app-builtin"}]})");
  std::vector<Profile> profiles = findProfiles(Family::kFirefox, home + "/.config/mozilla/firefox");
  ASSERT_EQ(profiles.size(), 1U);
  ASSERT_EQ(profiles[0].extensions.size(), 1U) << "built-in add-ons are left out";

  ASSERT_EQ(run("install --browser firefox --extension-id ostrel@example.org"), 0) << errors;
  EXPECT_EQ(run("doctor --browser firefox"), kExitFailure);
  EXPECT_TRUE(
      says("the registration allows ostrel@example.org, which is 1 letter off the "
           "installed ostre1@example.org (\"Ostrel\")"))
      << output;
  EXPECT_TRUE(says("install --browser firefox --extension-id ostre1@example.org")) << output;
  EXPECT_TRUE(says("installed there: the add-on ostre1@example.org (\"Ostrel\") in the profile " +
                   home + "/.config/mozilla/firefox/abc.default"))
      << output;
  EXPECT_FALSE(says("formautofill")) << output;
}

// Firefox installs what lies in the profile's extensions folder at its
// next start and records it in extensions.json a while later: a packed
// add-on, an unpacked one with its permissions, and built-ins in any of
// Firefox's own locations.
TEST_F(InstalledExtensionsTest, FirefoxAddOnsNotRecordedYet) {
  writeFile(".mozilla/firefox/profiles.ini", "[Profile0]\nIsRelative=1\nPath=p.default\n");
  writeFile(".mozilla/firefox/p.default/extensions.json",
            R"({"addons":[{"id":"newtab@mozilla.org","type":"extension",)"
            R"("location":"app-builtin-addons"}]})");
  writeFile(".mozilla/firefox/p.default/extensions/packed@example.org.xpi", "PK");
  writeFile(".mozilla/firefox/p.default/extensions/open@example.org/manifest.json",
            R"({"permissions":["nativeMessaging"]})");
  writeFile(".mozilla/firefox/p.default/extensions/not an id.xpi", "PK");
  std::vector<Profile> profiles = findProfiles(Family::kFirefox, home + "/.mozilla/firefox");
  ASSERT_EQ(profiles.size(), 1U);
  ASSERT_EQ(profiles[0].extensions.size(), 2U);
  EXPECT_EQ(profiles[0].extensions[0].id, "open@example.org");
  EXPECT_TRUE(profiles[0].extensions[0].unpacked);
  EXPECT_EQ(profiles[0].extensions[0].nativeMessaging, std::optional<bool>(true));
  EXPECT_EQ(profiles[0].extensions[1].id, "packed@example.org");
  EXPECT_EQ(profiles[0].extensions[1].nativeMessaging, std::nullopt) << "a packed one is not read";
}

// The browsers that will look: an installed one without a registration
// while another has one, and a running one with a profile folder of its own.
TEST_F(InstalledExtensionsTest, NamesTheBrowserThatWillLook) {
  if (!common::commandLineOf(::getpid())) {
    GTEST_SKIP() << "finds running browsers through /proc, which only Linux has";
  }
  doctor::tests::asOrdinaryUser(home, [&] {
    answeringHost();
    std::filesystem::create_directories(home + "/.config/chromium");
    ASSERT_EQ(run("install --browser chrome --origin chrome-extension://" + kId + "/"), 0)
        << errors;
    EXPECT_EQ(run("doctor"), kExitSuccess);
    EXPECT_TRUE(says("warning: Chromium looks installed (" + home +
                     "/.config/chromium) but has no "
                     "registration, while another Chromium-family browser has one"))
        << output;
    EXPECT_TRUE(
        says("fix: ostrel-native-host-setup install --browser chromium --origin "
             "chrome-extension://" +
             kId + "/\n"))
        << output;

    // Running with a profile folder of its own, it looks there, and not in
    // its default folder.
    const std::string profile = home + "/own profile";
    std::unique_ptr<common::ChildProcess> browser =
        doctor::tests::fakeBrowser(home + "/browser", "chromium", {"--user-data-dir=" + profile});
    ASSERT_TRUE(browser);
    EXPECT_EQ(run("doctor"), kExitFailure);
    EXPECT_FALSE(says("Chromium looks installed")) << output;
    EXPECT_TRUE(says("runs with --user-data-dir=" + profile +
                     "; it reads host manifests only from " + profile +
                     "/NativeMessagingHosts, where there is none"))
        << output;
    EXPECT_TRUE(says("fix: ostrel-native-host-setup install --user-data-dir '" + profile +
                     "' --origin chrome-extension://" + kId + "/\n"))
        << output;
    browser->signal(SIGKILL);
  });
}

}  // namespace
}  // namespace ostrel::setup
