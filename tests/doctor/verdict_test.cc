// The doctor's verdict set against the browsers' own rules: manifests read
// as Chromium and Firefox read them, policies under a private root, the
// extension's permission and state, the one-question mode, every fix run
// as printed, and the files it will not read.

#include <simdjson.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>

#include "extension_id.h"
#include "fake_browser.h"
#include "files.h"
#include "manifest_rules.h"
#include "peers/fake_app.h"
#include "running_browsers.h"
#include "test_home.h"
#include "tool_process.h"
#include "tools/common/child_process.h"
#include "tools/common/paths.h"
#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"

namespace ostrel::setup {
namespace {

using doctor::judgeManifest;

const std::string kId = "abcdefghijklmnopabcdefghijklmnop";
const std::string kOrigin = "chrome-extension://" + kId + "/";

std::string firstFault(std::string_view text, Family family) {
  doctor::ManifestJudgement judgement = judgeManifest(text, family, "com.ostrel.native_host");
  return judgement.faults.empty() ? "" : judgement.faults.front();
}

TEST(ManifestRulesTest, AsTheBrowsersReadThem) {
  const std::string head = R"({"name":"com.ostrel.native_host","description":"d","type":"stdio",)";
  struct Case {
    std::string text;
    Family family;
    std::string fault;  // empty: the browser loads it
  };
  const Case cases[] = {
      {"\xEF\xBB\xBF" + head + R"("path":"/h","allowed_origins":[")" + kOrigin + R"("]})",
       Family::kChromium, ""},
      {head + R"("path":"/h","allowed_origins":["chrome-extension://)" +
           "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP/*\"]}",
       Family::kChromium, ""},
      // One malformed entry among good ones: the whole file is refused.
      {head + R"("path":"/h","allowed_origins":[")" + kOrigin + R"(","chrome-extension://)" + kId +
           "\"]}",
       Family::kChromium, "is malformed (it has no path"},
      // Named twice, the last one counts.
      {head + R"("path":"/h","allowed_origins":[")" + kOrigin + R"("],"path":"relative"})",
       Family::kChromium, "the path \"relative\" is not absolute"},
      {head + R"("path":"/h","allowed_extensions":["a@b.org"]})", Family::kChromium,
       "it is a Firefox-format manifest"},
      {"{\n  \"name\": \"x\",\n  oops\n}", Family::kChromium,
       "not valid JSON at 3:3: expected a member name in double quotes at line 3, column 3"},
      {R"({"name":"com.ostrel.native_host","description":"","type":"stdio","path":"/h",)"
       R"("allowed_origins":[]})",
       Family::kChromium, "the member \"description\" is empty"},
      {head + R"("path":"/h","allowed_extensions":[")" + std::string(93, 'a') + "@b.org\"]}",
       Family::kFirefox, ""},
      {head + R"("path":"/h","allowed_extensions":["a@b.org","no id"]})", Family::kFirefox,
       "\"no id\" is not an add-on id"},
  };
  for (const Case& c : cases) {
    const std::string fault = firstFault(c.text, c.family);
    if (c.fault.empty()) {
      EXPECT_EQ(fault, "") << c.text;
    } else {
      EXPECT_NE(fault.find(c.fault), std::string::npos) << c.text << "\n" << fault;
    }
  }
  EXPECT_TRUE(doctor::allowsExtension(
      *judgeManifest(cases[1].text, Family::kChromium, "com.ostrel.native_host").manifest, kId));
}

// A stand-in for a browser's main process: chromium, with `options` on its
// command line and `environment` over this process's; nothing when it did
// not start.
std::unique_ptr<common::ChildProcess> fakeChromium(const std::string& home,
                                                   const std::string& options,
                                                   const std::vector<std::string>& environment) {
  return doctor::tests::fakeBrowser(home + "/browser", "chromium", {options}, environment);
}

class VerdictTest : public TestHome {
 protected:
  // Asks the one question for Chromium; the first line of the answer.
  std::string ask(const std::string& browser = "chromium", const std::string& id = kId) {
    const std::string option = browser == "firefox" ? " --extension-id " : " --origin ";
    status = run("doctor --browser " + browser + option + id);
    return output.substr(0, output.find('\n'));
  }
  void policy(const std::string& kind, const std::string& name, const std::string& text) {
    writeFile("root/etc/chromium/policies/" + kind + "/" + name, text);
  }
  int status = -1;
};

TEST_F(VerdictTest, PoliciesDecideBeforeAnyManifest) {
  answeringHost();
  ASSERT_EQ(run("install --browser chromium --origin " + kOrigin), 0) << errors;
  EXPECT_TRUE(ask().starts_with("yes: ")) << output;
  EXPECT_EQ(status, kExitSuccess);

  // Recommended policies do not count for native messaging.
  policy("recommended", "r.json", R"({"NativeMessagingBlocklist":["*"]})");
  EXPECT_TRUE(ask().starts_with("yes: ")) << output;

  policy("managed", "10-block.json", R"({"NativeMessagingBlocklist":["*"],})");
  EXPECT_EQ(ask(), "no: the policy NativeMessagingBlocklist in " + root +
                       "/etc/chromium/policies/managed/10-block.json blocks every native "
                       "messaging host (\"*\"), and no NativeMessagingAllowlist names "
                       "com.ostrel.native_host; the browser says \"Access to the native "
                       "messaging host was disabled by the system administrator.\"");
  EXPECT_EQ(status, kExitFailure);
  // A later file wins.
  policy("managed", "20-allow.json", R"({"NativeMessagingAllowlist":["com.ostrel.native_host"]})");
  EXPECT_TRUE(ask().starts_with("yes: ")) << output;

  policy("managed", "30-system.json", R"({"NativeMessagingUserLevelHosts":false})");
  EXPECT_TRUE(ask().starts_with("no: the per-user manifest ")) << output;
  EXPECT_NE(output.find("NativeMessagingUserLevelHosts in " + root), std::string::npos) << output;
  // Written as this user runs it: root runs it as it is.
  EXPECT_NE(output.find(std::string(::geteuid() == 0 ? "fix: " : "fix: sudo ") +
                        "ostrel-native-host-setup install --browser chromium --system --origin " +
                        kOrigin),
            std::string::npos)
      << output;

  policy("managed", "40-ext.json",
         R"({"ExtensionSettings":{"*":{"blocked_permissions":["nativeMessaging"]}}})");
  EXPECT_TRUE(ask().starts_with("no: the policy ExtensionSettings in ")) << output;
}

TEST_F(VerdictTest, TheExtensionMustHoldThePermissionAndBeEnabled) {
  answeringHost();
  ASSERT_EQ(run("install --browser chromium --origin " + kOrigin), 0) << errors;
  auto preferences = [&](const std::string& settings) {
    writeFile(".config/chromium/Default/Preferences",
              R"({"extensions":{"settings":{")" + kId + "\":" + settings + "}}}");
  };
  preferences(R"({"location":1,"active_permissions":{"api":["storage"]}})");
  EXPECT_TRUE(
      ask().starts_with("no: the extension " + kId + " lacks the \"nativeMessaging\" permission"))
      << output;
  preferences(
      R"({"location":1,"disable_reasons":[1],"active_permissions":{"api":["nativeMessaging"]}})");
  EXPECT_TRUE(ask().starts_with("no: the extension " + kId + " is disabled")) << output;
  preferences(R"({"location":1,"active_permissions":{"api":["nativeMessaging"]}})");
  EXPECT_TRUE(ask().starts_with("yes: ")) << output;
  run("doctor --browser chromium");
  EXPECT_NE(output.find("ok: allowed and installed: " + kId), std::string::npos) << output;

  // A Firefox add-on the user switched off, in the XDG layout.
  ASSERT_EQ(run("install --browser firefox --extension-id a@b.org"), 0) << errors;
  writeFile(".config/mozilla/firefox/profiles.ini", "[Profile0]\nPath=p\nIsRelative=1\n");
  writeFile(".config/mozilla/firefox/p/extensions.json",
            R"({"addons":[{"id":"a@b.org","type":"extension","location":"app-profile",)"
            R"("active":false,"userDisabled":true,)"
            R"("userPermissions":{"permissions":["nativeMessaging"]}}]})");
  EXPECT_TRUE(ask("firefox", "a@b.org").starts_with("no: the add-on a@b.org is disabled"))
      << output;
  run("doctor --browser firefox");
  EXPECT_EQ(output.find("ok: allowed and installed"), std::string::npos) << output;
}

// Of a per-user and a system-wide manifest, Chromium takes the per-user one
// even when it is broken; Firefox passes over it to the next.
TEST_F(VerdictTest, WhichManifestWinsPerBrowser) {
  answeringHost();
  for (const char* browser : {"chromium", "firefox"}) {
    const std::string option =
        std::string(browser) == "firefox" ? " --extension-id a@b.org" : " --origin " + kOrigin;
    ASSERT_EQ(run(std::string("install --system --browser ") + browser + option), 0) << errors;
    ASSERT_EQ(run(std::string("install --browser ") + browser + option), 0) << errors;
  }
  writeFile(".config/chromium/NativeMessagingHosts/com.ostrel.native_host.json", "{");
  writeFile(".mozilla/native-messaging-hosts/com.ostrel.native_host.json", "{");
  EXPECT_TRUE(ask().starts_with("no: the per-user manifest " + home +
                                "/.config/chromium/NativeMessagingHosts/com.ostrel.native_host."
                                "json, which Chromium uses, is refused: the file is not valid "
                                "JSON"))
      << output;
  EXPECT_TRUE(ask("firefox", "a@b.org").starts_with("yes: ")) << output;
  EXPECT_NE(output.find("note: Firefox passes over " + home + "/.mozilla"), std::string::npos)
      << output;
  run("doctor");
  EXPECT_NE(output.find("Chromium has a per-user and a system-wide manifest: it uses the per-user "
                        "one"),
            std::string::npos)
      << output;
}

// On macOS the policies are managed preferences.
TEST_F(VerdictTest, MacManagedPreferences) {
  environment.platform = Platform::kMacOS;
  answeringHost();
  ASSERT_EQ(run("install --browser chrome --origin " + kOrigin), 0) << errors;
  writeFile("root/Library/Managed Preferences/com.google.Chrome.plist",
            "<plist version=\"1.0\"><dict><key>NativeMessagingBlocklist</key><array>"
            "<string>com.ostrel.native_host</string></array></dict></plist>");
  EXPECT_TRUE(ask("chrome").starts_with("no: the policy NativeMessagingBlocklist in " + root +
                                        "/Library/Managed Preferences/com.google.Chrome.plist "
                                        "blocks the host com.ostrel.native_host"))
      << output;
}

TEST_F(VerdictTest, OptionsThatMakeNoSenseAreRefused) {
  for (const char* words : {"doctor --browser firefox --origin abcdefghijklmnopabcdefghijklmnop",
                            "doctor --browser chromium --extension-id a@b.org",
                            "doctor --origin abcdefghijklmnopabcdefghijklmnop",
                            "doctor --browser all --origin abcdefghijklmnopabcdefghijklmnop",
                            "doctor --browser chromium --origin https://example.org/"}) {
    EXPECT_EQ(run(words), kExitUsage) << words;
  }
}

// Each case is set up as a user would; the fix the doctor prints is run
// as printed, by a shell, with the built tool on PATH, and the doctor
// then says yes.
TEST_F(VerdictTest, EveryFixMendsItsCaseWhenRunAsPrinted) {
  const std::string tools = common::parentFolder(OSTREL_SETUP_TOOL);
  const std::vector<std::string> env = {"HOME=" + home, "PATH=" + tools + ":/usr/bin:/bin"};
  auto tool = [&](const std::vector<std::string>& words) {
    std::vector<std::string> argv = {OSTREL_SETUP_TOOL};
    argv.insert(argv.end(), words.begin(), words.end());
    standins::tests::ToolProcess process(argv, env);
    std::optional<int> waited = process.wait();
    return std::make_pair(waited && WIFEXITED(*waited) ? WEXITSTATUS(*waited) : -1, process.out());
  };
  // Where the built tool looks on this system (macOS: below Library).
  Environment here = environment;
  here.platform = currentPlatform();
  const std::string manifest = joinPath(
      *manifestFolder(*findBrowser("chromium"), Scope::kUser, here), "com.ostrel.native_host.json");
  const std::string good = R"({"name":"com.ostrel.native_host","description":"d","type":"stdio",)";
  const std::string script =
      writeFile("bin/host", "#!/bin/sh\nexec " OSTREL_HOST_BINARY "\n", 0644);
  struct Case {
    std::string what;
    std::function<void()> setUp;
  };
  const Case cases[] = {
      {"a host without the execute bit",
       [&] {
         writeFile(manifest.substr(home.size() + 1),
                   good + R"("path":")" + script + R"(","allowed_origins":[")" + kOrigin + "\"]}");
       }},
      {"a malformed origin beside the right one",
       [&] {
         ::chmod(script.c_str(), 0755);
         writeFile(manifest.substr(home.size() + 1), good + R"("path":")" + script +
                                                         R"(","allowed_origins":[")" + kOrigin +
                                                         R"(","chrome-extension://nope"]})");
       }},
      {"another extension's id, in a file this tool did not write",
       [&] {
         writeFile(
             manifest.substr(home.size() + 1),
             good + R"("path":")" + script +
                 R"(","allowed_origins":["chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"]})");
       }},
      {"no registration at all", [&] { std::filesystem::remove(manifest); }},
  };
  for (const Case& c : cases) {
    c.setUp();
    auto [status, said] = tool({"doctor", "--browser", "chromium", "--origin", kOrigin});
    ASSERT_EQ(status, kExitFailure) << c.what << "\n" << said;
    const std::size_t at = said.find("\nfix: ");
    ASSERT_NE(at, std::string::npos) << c.what << "\n" << said;
    const std::string fix = said.substr(at + 6, said.find('\n', at + 1) - at - 6);
    standins::tests::ToolProcess shell({"/bin/sh", "-c", fix}, env);
    std::optional<int> fixed = shell.wait();
    ASSERT_TRUE(fixed && WIFEXITED(*fixed) && WEXITSTATUS(*fixed) == 0)
        << c.what << ": " << fix << "\n"
        << shell.err();
    std::tie(status, said) = tool({"doctor", "--browser", "chromium", "--origin", kOrigin});
    EXPECT_EQ(status, kExitSuccess) << c.what << ": after " << fix << "\n" << said;
  }
}

// A mode change printed for a file reached through a link would change
// whatever the link's owner points it at: advice names where it leads.
TEST_F(VerdictTest, NoFixChangesAModeThroughALink) {
  const std::string plain = writeFile("bin/plain", "#!/bin/sh\n", 0644);
  ASSERT_EQ(::symlink(plain.c_str(), (home + "/bin/host").c_str()), 0);
  writeFile(".config/chromium/NativeMessagingHosts/com.ostrel.native_host.json",
            R"({"name":"com.ostrel.native_host","description":"d","type":"stdio","path":")" + home +
                R"(/bin/host","allowed_origins":[")" + kOrigin + "\"]}");
  for (const std::string& words :
       {std::string("doctor"), "doctor --browser chromium --origin " + kOrigin}) {
    EXPECT_EQ(run(words), kExitFailure) << words;
    EXPECT_EQ(output.find("chmod"), std::string::npos) << words << "\n" << output;
    EXPECT_NE(output.find("it is a symbolic link to " + plain + ": make that file"),
              std::string::npos)
        << words << "\n"
        << output;
  }
}

// A browser running now with its own environment and profile folder: the
// host is judged as that browser starts it, not as this shell would.
TEST_F(VerdictTest, TheRunningBrowsersEnvironmentCounts) {
  if (!common::commandLineOf(::getpid())) GTEST_SKIP() << "running browsers are read from /proc";
  doctor::tests::asOrdinaryUser(home, [&] {
    const std::string profile = home + "/profile";
    const std::string socket = home + "/browser.sock";
    ASSERT_EQ(run("install --user-data-dir " + profile +
                  " --host-path " OSTREL_HOST_BINARY " --origin " + kOrigin),
              0)
        << errors;
    peers::FakeApp application(socket);
    ASSERT_TRUE(application.listening()) << application.error();
    std::unique_ptr<common::ChildProcess> browser =
        fakeChromium(home, "--user-data-dir=" + profile, {"OSTREL_SOCKET_PATH=" + socket});
    ASSERT_TRUE(browser);
    EXPECT_TRUE(ask().starts_with("yes: ")) << output;
    EXPECT_NE(
        output.find("answered for the running chromium (pid " + std::to_string(browser->pid()) +
                    "), started with --user-data-dir=" + profile),
        std::string::npos)
        << output;
    EXPECT_NE(output.find("the host reached the application at " + socket), std::string::npos)
        << output;
    browser->signal(SIGKILL);
    ASSERT_TRUE(browser->waitExit(std::chrono::seconds(10)));

    // The same browser started where its environment leads the host to a
    // socket nobody listens on: the host starts, but reaches nothing.
    const std::string elsewhere = home + "/elsewhere.sock";
    std::unique_ptr<common::ChildProcess> astray =
        fakeChromium(home, "--user-data-dir=" + profile, {"OSTREL_SOCKET_PATH=" + elsewhere});
    ASSERT_TRUE(astray);
    EXPECT_TRUE(ask().starts_with("no: the host that chromium (pid " +
                                  std::to_string(astray->pid()) +
                                  ") starts does not reach the application: the browser runs "
                                  "with OSTREL_SOCKET_PATH=" +
                                  elsewhere))
        << output;
    EXPECT_EQ(status, kExitFailure);
    astray->signal(SIGKILL);
  });
}

// An extension the running browser was told to load is in no profile's
// files: the report counts it, allowed and installed while it holds the
// permission, and a problem once it does not.
TEST_F(VerdictTest, AnExtensionTheRunningBrowserLoadsCounts) {
  if (!common::commandLineOf(::getpid())) GTEST_SKIP() << "running browsers are read from /proc";
  doctor::tests::asOrdinaryUser(home, [&] {
    answeringHost();
    // An extension with a key, whose id does not depend on its folder.
    const std::string keyed = read(OSTREL_KEYED_EXTENSION "/manifest.json");
    const std::string folder = common::parentFolder(writeFile("extension/manifest.json", keyed));
    const std::optional<std::string> id = extensionIdOfPath(folder).id;
    ASSERT_TRUE(id) << extensionIdOfPath(folder).error;
    ASSERT_EQ(run("install --browser chromium --origin chrome-extension://" + *id + "/"), 0)
        << errors;
    std::unique_ptr<common::ChildProcess> browser =
        fakeChromium(home, "--load-extension=" + folder, {});
    ASSERT_TRUE(browser);
    EXPECT_EQ(run("doctor --browser chromium"), kExitSuccess) << output;
    EXPECT_NE(output.find("ok: allowed and installed: " + *id +
                          ", loaded by the --load-extension "
                          "of chromium (pid " +
                          std::to_string(browser->pid()) + ")"),
              std::string::npos)
        << output;
    const std::string permission = R"("permissions": ["nativeMessaging"],)";
    ASSERT_NE(keyed.find(permission), std::string::npos);
    writeFile("extension/manifest.json",
              std::string(keyed).erase(keyed.find(permission), permission.size()));
    EXPECT_EQ(run("doctor --json --browser chromium"), kExitFailure) << output;
    EXPECT_NE(output.find("lacks the \\\"nativeMessaging\\\" permission"), std::string::npos)
        << output;
    browser->signal(SIGKILL);
  });
}

// What the doctor cannot see it never guesses: a wrapper that changes where
// the host looks is named with what it sets, though no browser runs; a
// profile file too large to read makes the extension's presence unknown,
// not absent.
TEST_F(VerdictTest, NamesWhatAWrapperSetsAndWhatItCouldNotRead) {
  const std::string wrapper = writeFile("bin/wrapper",
                                        "#!/bin/sh\nOSTREL_SOCKET_PATH='" + home +
                                            "/elsewhere.sock' exec " OSTREL_HOST_BINARY " \"$@\"\n",
                                        0755);
  ASSERT_EQ(run("install --browser chromium --host-path " + wrapper + " --origin " + kOrigin), 0)
      << errors;
  EXPECT_EQ(ask(), "no: the registered program " + wrapper + " sets OSTREL_SOCKET_PATH=" + home +
                       "/elsewhere.sock before it starts the host, which looks for the "
                       "application at " +
                       home + "/elsewhere.sock, where nothing answers, not at " + home +
                       "/Library/Application Support/ostrel/browser.sock, where this shell's "
                       "environment (no browser of it runs) leads")
      << output;

  answeringHost();
  ASSERT_EQ(run("install --browser chromium --origin " + kOrigin), 0) << errors;
  writeFile(".config/chromium/Default/Preferences", std::string(17 << 20, ' ') + "{}");
  std::unique_ptr<common::ChildProcess> browser = fakeChromium(home, "--no-sandbox", {});
  ASSERT_TRUE(browser);
  EXPECT_TRUE(ask().starts_with("yes: ")) << output;
  EXPECT_NE(output.find("warning: whether the extension " + kId +
                        " is installed is not known: the browser's file " + home +
                        "/.config/chromium/Default/Preferences is larger than 16 MiB"),
            std::string::npos)
      << output;
  browser->signal(SIGKILL);
}

// A manifest allowing 100,000 extensions is judged, and told of in a few
// lines: the first ids and how many more, no fix longer than a command line
// holds. One too large to read is said to be unread, with no fix for
// permissions that are fine.
TEST_F(VerdictTest, AHugeManifestIsToldInFewWordsAndAnUnreadOneIsNotGuessed) {
  const std::string host = answeringHost();
  std::string origins;
  for (int i = 0; i < 100000; ++i) {
    std::string id(32, 'a');
    for (int n = i, at = 31; n > 0; n /= 16, --at) id[at] = static_cast<char>('a' + n % 16);
    origins += "\"chrome-extension://" + id + "/\",";
  }
  origins.pop_back();
  const std::string manifest = ".config/chromium/NativeMessagingHosts/com.ostrel.native_host.json";
  writeFile(manifest, R"({"name":"com.ostrel.native_host","description":"d","type":"stdio",)"
                      R"("path":")" +
                          host + R"(","allowed_origins":[)" + origins + "]}");
  const std::string other = "ponmlkjihgfedcbaponmlkjihgfedcba";
  EXPECT_TRUE(ask("chromium", other).starts_with("no: ")) << output.substr(0, 2000);
  EXPECT_NE(output.find("and 99995 more"), std::string::npos) << output.substr(0, 2000);
  EXPECT_LT(output.size(), 20000u);
  run("doctor --browser chromium");
  EXPECT_LT(output.size(), 20000u);

  writeFile(manifest, std::string(17 << 20, ' ') + "{}");
  EXPECT_TRUE(ask().starts_with("no: the doctor did not read " + home + "/" + manifest)) << output;
  EXPECT_EQ(output.find("chmod"), std::string::npos) << output;
}

// A main process as the system shows it: its profile folders and loaded
// extensions; a helper, even one that rewrote its title, is none, and
// neither is any program that is not a browser's own executable, whatever
// it calls itself.
TEST(RunningBrowsersTest, ReadsTheMainProcessAndPassesOverHelpers) {
  const Platform linux = Platform::kLinux;
  const std::string chromiumProgram = "/usr/lib/chromium/chromium";
  auto chromium = doctor::browserIn(
      chromiumProgram, {"chromium", "--user-data-dir=/p", "--load-extension=/a,/b"}, linux);
  ASSERT_TRUE(chromium);
  EXPECT_EQ(chromium->userDataDir, "/p");
  EXPECT_EQ(chromium->loadedExtensions, (std::vector<std::string>{"/a", "/b"}));
  auto firefox = doctor::browserIn("/usr/lib/firefox-esr/firefox-esr",
                                   {"/usr/lib/firefox-esr/firefox-esr", "-profile", "/f"}, linux);
  ASSERT_TRUE(firefox);
  EXPECT_EQ(firefox->profile, "/f");
  EXPECT_FALSE(doctor::browserIn(
      chromiumProgram, {"/usr/lib/chromium/chromium --type=zygote --no-zygote-sandbox"}, linux));
  EXPECT_FALSE(doctor::browserIn("/usr/lib/firefox-esr/firefox-esr",
                                 {"/usr/lib/firefox-esr/firefox-esr", "-contentproc", "7"}, linux));
  EXPECT_FALSE(doctor::browserIn("/usr/bin/su", {"chromium", "--user-data-dir=/p"}, linux));
  // The Mac programs, by the names in their bundles, case folded.
  for (const auto& [program, key] : {std::pair{"Google Chrome", "chrome"},
                                     {"microsoft edge", "edge"},
                                     {"Brave Browser", "brave"},
                                     {"firefox", "firefox"}}) {
    auto mac = doctor::browserIn("/Applications/X.app/Contents/MacOS/" + std::string(program),
                                 {"/Applications/X.app/Contents/MacOS/x"}, Platform::kMacOS);
    ASSERT_TRUE(mac) << program;
    EXPECT_EQ(mac->browser->key, key);
  }
}

// Everything the doctor knows of a browser is in the browsers' table: a
// browser added there without any of it fails here.
TEST(BrowsersTableTest, EveryBrowserHasWhatTheDoctorNeeds) {
  for (const Browser& browser : allBrowsers()) {
    SCOPED_TRACE(browser.key);
    for (std::string_view field :
         {browser.displayName, browser.linuxUser, browser.macUser, browser.flatpakId,
          browser.linuxPrograms, browser.macApp, browser.linuxExecutables, browser.macExecutable}) {
      EXPECT_FALSE(field.empty());
    }
    const bool chromium = browser.family == Family::kChromium;
    for (std::string_view field :
         {browser.linuxPolicies, browser.macPolicyDomain, browser.policyPage}) {
      EXPECT_EQ(field.empty(), !chromium) << "policies are read for the Chromium family";
    }
    const std::string_view executables = browser.linuxExecutables;
    EXPECT_EQ(
        browserOfExecutable("/opt/x/" + std::string(executables.substr(0, executables.find(' '))),
                            Platform::kLinux),
        &browser);
    EXPECT_EQ(browserOfExecutable("/Applications/" + std::string(browser.macApp) +
                                      "/Contents/MacOS/" + std::string(browser.macExecutable),
                                  Platform::kMacOS),
              &browser);
  }
}

TEST(ReadWholeFileTest, ReadsOnlyRegularFilesUpToTheBound) {
  peers::TempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Neither blocks: a FIFO nobody writes, an endless device.
  EXPECT_EQ(readWholeFile(fifo).state, FileState::kNotRegular);
  EXPECT_EQ(readWholeFile("/dev/zero").state, FileState::kNotRegular);
  EXPECT_EQ(readWholeFile(dir.path()).state, FileState::kNotRegular);
  const std::string big = dir.path() + "/big";
  ASSERT_FALSE(writeFileAtomically(big, std::string(5000, 'x')));
  FileContents tooLarge = readWholeFile(big, 4096);
  EXPECT_EQ(tooLarge.state, FileState::kTooLarge);
  EXPECT_EQ(tooLarge.reason, "larger than 4096 bytes, the most this tool reads of such a file");
  EXPECT_EQ(readWholeFile(big, 5000).text.size(), 5000U);
}

TEST_F(VerdictTest, JsonHoldsTheSameFindings) {
  answeringHost();
  ASSERT_EQ(run("install --browser chromium --origin " + kOrigin), 0) << errors;
  writeFile(".config/chromium/Default/Preferences",
            "{\"extensions\":{\"settings\":{\"" + kId +
                "\":{\"manifest\":{\"name\":\"Evil\\u001b[2J\"}}}}}");
  EXPECT_EQ(run("doctor --json --browser chromium"), kExitSuccess) << output;
  EXPECT_EQ(output.find('\x1b'), std::string::npos) << "no control character reaches a terminal";
  // Read back with error codes only, as the tools read JSON.
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  ASSERT_TRUE(parser.parse(simdjson::padded_string(output)).get(root) == simdjson::SUCCESS)
      << output;
  simdjson::dom::array findings;
  ASSERT_TRUE(root["findings"].get_array().get(findings) == simdjson::SUCCESS) << output;
  int allowed = 0;
  for (simdjson::dom::element finding : findings) {
    std::string_view kind;
    std::string_view words;
    ASSERT_TRUE(finding["kind"].get_string().get(kind) == simdjson::SUCCESS) << output;
    ASSERT_TRUE(finding["words"].get_string().get(words) == simdjson::SUCCESS) << output;
    EXPECT_TRUE(kind == "problem" || kind == "warning" || kind == "ok" || kind == "note") << kind;
    for (const char* member : {"browser", "file", "fix"}) {
      simdjson::dom::element value;
      ASSERT_TRUE(finding[member].get(value) == simdjson::SUCCESS) << member;
      EXPECT_TRUE(value.is_null() || value.is_string()) << member;
    }
    if (kind == "ok" && words.find("allowed and installed") != std::string_view::npos) ++allowed;
  }
  EXPECT_EQ(allowed, 1) << output;
}

}  // namespace
}  // namespace ostrel::setup
