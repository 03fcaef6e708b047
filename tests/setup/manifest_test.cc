#include "manifest.h"

#include <gtest/gtest.h>

#include "browsers.h"

namespace ostrel::setup {
namespace {

TEST(ManifestTest, RendersTheExactTextAndReadsItBack) {
  Manifest chromium =
      ownManifest("com.ostrel.native_host", "/usr/bin/ostrel-native-host", Family::kChromium,
                  {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/",
                   "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"});
  EXPECT_EQ(renderManifest(chromium),
            "{\n"
            "  \"name\": \"com.ostrel.native_host\",\n"
            "  \"description\": \"Ostrel native messaging host (written by "
            "ostrel-native-host-setup)\",\n"
            "  \"path\": \"/usr/bin/ostrel-native-host\",\n"
            "  \"type\": \"stdio\",\n"
            "  \"allowed_origins\": [\n"
            "    \"chrome-extension://abcdefghijklmnopabcdefghijklmnop/\",\n"
            "    \"chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/\"\n"
            "  ]\n"
            "}\n");

  // Awkward characters in a path survive the round trip.
  Manifest firefox = ownManifest("a.b", "/opt/we\"ird\\path\t\x01/h\xc3\xa9", Family::kFirefox,
                                 {"ostrel@example.org"});
  ManifestReading reading = readManifest(renderManifest(firefox), Family::kFirefox);
  ASSERT_TRUE(reading.manifest);
  EXPECT_TRUE(reading.problems.empty());
  EXPECT_EQ(reading.manifest->path, firefox.path);
  EXPECT_EQ(reading.manifest->allowed, firefox.allowed);
  EXPECT_TRUE(isOwnManifest(*reading.manifest));
  EXPECT_NE(renderManifest(firefox).find("\"allowed_extensions\""), std::string::npos);
}

TEST(ManifestTest, ComplainsAboutShapeInPlainWords) {
  struct Case {
    const char* text;
    const char* complaint;
  };
  const Case cases[] = {
      {"{not json", "not valid JSON"},
      {"[1,2]", "does not hold a JSON object"},
      {R"({"description":"d","path":"/x","type":"stdio","allowed_origins":["o"]})",
       "\"name\" is missing"},
      {R"({"name":1,"description":"d","path":"/x","type":"stdio","allowed_origins":["o"]})",
       "\"name\" is not a string"},
      {R"({"name":"n","description":"d","path":"/x","type":"stdio","allowed_origins":"o"})",
       "\"allowed_origins\" is not a list"},
      {R"({"name":"n","description":"d","path":"/x","type":"stdio","allowed_origins":[]})",
       "\"allowed_origins\" is empty"},
      {R"({"name":"n","description":"d","path":"/x","type":"stdio","allowed_origins":[3]})",
       "something other than a string"},
      // A Firefox manifest in a Chromium folder lacks what Chromium reads.
      {R"({"name":"n","description":"d","path":"/x","type":"stdio","allowed_extensions":["a@b"]})",
       "\"allowed_origins\" is missing"},
  };
  for (const Case& c : cases) {
    ManifestReading reading = readManifest(c.text, Family::kChromium);
    ASSERT_EQ(reading.problems.size(), 1u) << c.text;
    EXPECT_NE(reading.problems[0].find(c.complaint), std::string::npos)
        << c.text << " gave: " << reading.problems[0];
  }
}

TEST(BrowserFoldersTest, PerUserAndSystemWideOnBothSystems) {
  Environment linuxHome;
  linuxHome.home = "/home/u";
  linuxHome.configHome = "/home/u/.config";
  auto folder = [&](std::string_view key, Scope scope, const Environment& environment) {
    return manifestFolder(*findBrowser(key), scope, environment).value_or("(none)");
  };
  EXPECT_EQ(folder("chrome", Scope::kUser, linuxHome),
            "/home/u/.config/google-chrome/NativeMessagingHosts");
  EXPECT_EQ(folder("brave", Scope::kUser, linuxHome),
            "/home/u/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts");
  EXPECT_EQ(folder("firefox", Scope::kUser, linuxHome), "/home/u/.mozilla/native-messaging-hosts");
  EXPECT_EQ(folder("chromium", Scope::kSystem, linuxHome), "/etc/chromium/native-messaging-hosts");
  EXPECT_EQ(folder("edge", Scope::kSystem, linuxHome), "/etc/opt/edge/native-messaging-hosts");
  EXPECT_EQ(folder("firefox", Scope::kSystem, linuxHome),
            "/usr/lib/mozilla/native-messaging-hosts");
  EXPECT_EQ(folder("vivaldi", Scope::kSystem, linuxHome), "(none)");

  // The configuration home moves the Chromium family, not Firefox.
  Environment xdg = linuxHome;
  xdg.configHome = "/elsewhere";
  EXPECT_EQ(folder("chromium", Scope::kUser, xdg), "/elsewhere/chromium/NativeMessagingHosts");
  EXPECT_EQ(folder("firefox", Scope::kUser, xdg), "/home/u/.mozilla/native-messaging-hosts");

  Environment mac = linuxHome;
  mac.platform = Platform::kMacOS;
  mac.home = "/Users/u";
  EXPECT_EQ(folder("chrome", Scope::kUser, mac),
            "/Users/u/Library/Application Support/Google/Chrome/NativeMessagingHosts");
  EXPECT_EQ(folder("firefox", Scope::kUser, mac),
            "/Users/u/Library/Application Support/Mozilla/NativeMessagingHosts");
  EXPECT_EQ(folder("chrome", Scope::kSystem, mac), "/Library/Google/Chrome/NativeMessagingHosts");
  EXPECT_EQ(folder("edge", Scope::kSystem, mac), "/Library/Microsoft/Edge/NativeMessagingHosts");

  EXPECT_EQ(userDataManifestFolder("/tmp/profile"), "/tmp/profile/NativeMessagingHosts");
}

}  // namespace
}  // namespace ostrel::setup
