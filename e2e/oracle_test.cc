// The doctor judged by the browsers: misconfigurations that people really
// make, each set up as a user would and run through headless Chromium or
// Firefox, and the doctor asked about it while the browser runs. For each
// case the doctor says "yes" exactly when the browser connects, and when it
// says "no", its first reason names the cause in the case's words (a
// policy, a file, a member). A fix it prints must work when pasted: the test
// runs it and expects the browser to connect and the doctor to say yes.
//
// Each case also records what the browser did, as measured when the case
// was written: a difference means the browser changed, or the case no
// longer sets up what it says. Every case prints one line with the
// browser's outcome and words and the doctor's answer.

#include "oracle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>

namespace ostrel::e2e {
namespace {

using enum Family;
using enum Outcome;

using Arrange = std::function<bool(Scene&)>;

constexpr const char* kManagedPolicy = "/etc/chromium/policies/managed/policy.json";
constexpr const char* kRecommendedPolicy = "/etc/chromium/policies/recommended/policy.json";
constexpr const char* kBlockedPermission =
    R"({"ExtensionSettings": {"*": {"blocked_permissions": ["nativeMessaging"]}}})";
constexpr const char* kMissingHost = "@HOME@/missing/ostrel-native-host";
const std::string kLongId = std::string(87, 'a') + "@ostrel.test";  // 99 characters

Case connects(const char* name, Arrange arrange) {
  return {name, kConnected, {}, std::move(arrange)};
}
Case refuses(const char* name, std::vector<std::string> words, Arrange arrange) {
  return {name, kRefused, std::move(words), std::move(arrange)};
}
Case unreached(const char* name, std::vector<std::string> words, Arrange arrange) {
  return {name, kUnreached, std::move(words), std::move(arrange)};
}

// The host's manifest as a user writes it by hand, allowing `allowed`
// (JSON strings), in the format of `family`.
std::string manifest(Family family, const std::string& allowed) {
  const std::string text = R"({
  "name": "com.ostrel.native_host",
  "description": "ostrel",
  "path": "@HOST@",
  "type": "stdio",
  "@MEMBER@": [@ALLOWED@]
}
)";
  return replaced(replaced(text, "@ALLOWED@", allowed), "@MEMBER@",
                  family == kChromium ? "allowed_origins" : "allowed_extensions");
}

std::string ours(Family family) {
  return std::string("\"") + (family == kChromium ? kChromiumOrigin : kFirefoxId) + "\"";
}

// Registers the host with the setup tool, per user.
bool installed(Scene& scene) {
  scene.install({});
  return true;
}

// Registers the host with the setup tool (with `options`) and writes
// `policy` to `file`.
Arrange underPolicy(const char* file, const char* policy,
                    const std::vector<std::string>& options = {}) {
  return [=](Scene& scene) {
    scene.install(options);
    return scene.write(file, policy);
  };
}

// Writes the per-user manifest by hand: the family's own, allowing the test
// extension, with `from` replaced by `to`.
Arrange byHand(const std::string& from, const std::string& to) {
  return [=](Scene& scene) {
    return scene.write(scene.userManifest(),
                       replaced(manifest(scene.family, ours(scene.family)), from, to));
  };
}

// The same manifest in the other family's format.
bool otherFormat(Scene& scene) {
  const Family other = scene.family == kChromium ? kFirefox : kChromium;
  return scene.write(scene.userManifest(), manifest(other, ours(other)));
}

bool byteOrderMark(Scene& scene) {
  return scene.write(scene.userManifest(),
                     "\xef\xbb\xbf" + manifest(scene.family, ours(scene.family)));
}

// A copy of the host, or a script that starts it, at @HOME@/bin, named in
// the manifest.
Arrange hostAt(const std::string& script, mode_t mode) {
  return [=](Scene& scene) {
    const std::string path = scene.home + "/bin/ostrel-native-host";
    std::error_code failure;
    std::filesystem::create_directories(scene.home + "/bin", failure);
    if (script.empty()) std::filesystem::copy_file(scene.host, path, failure);
    return !failure && (script.empty() || scene.write(path, script, mode)) &&
           ::chmod(path.c_str(), mode) == 0 && byHand("@HOST@", path)(scene);
  };
}

// The host beside the manifest, named by a path relative to it.
bool relativePath(Scene& scene) {
  const std::string folder = std::filesystem::path(scene.userManifest()).parent_path();
  std::error_code failure;
  std::filesystem::create_directories(folder, failure);
  std::filesystem::copy_file(scene.host, folder + "/ostrel-native-host", failure);
  return !failure && byHand("@HOST@", "ostrel-native-host")(scene);
}

bool withoutPermission(Scene& scene) {
  scene.install({});
  return scene.changeExtension(R"("permissions": ["nativeMessaging"],)", "");
}

// The browser started without HOME, from a service say; Chromium with a
// profile folder of its own, since it has no default then.
bool browserWithoutHome(Scene& scene) {
  if (scene.family == kChromium) scene.userDataDir = scene.home + "/profile";
  scene.install(scene.family == kChromium
                    ? std::vector<std::string>{"--user-data-dir", scene.userDataDir}
                    : std::vector<std::string>{});
  std::erase_if(scene.browserEnvironment,
                [](const std::string& entry) { return entry.starts_with("HOME="); });
  return true;
}

bool browserWithOtherSocket(Scene& scene) {
  scene.install({});
  scene.browserEnvironment.push_back("OSTREL_SOCKET_PATH=" + scene.home + "/other.sock");
  return true;
}

// Firefox: the user disables the add-on in about:addons, which Firefox
// records in the profile's extensions.json, and its startup cache goes.
bool disableAddon(Scene& scene) {
  const std::string path = scene.profile + "/extensions.json";
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t start = text.find(R"({"id":")" + std::string(kFirefoxId) + "\"");
  const std::size_t end = text.find(R"({"id":)", start + 1);
  struct Change {
    std::string from, to;
  };
  for (const Change& change : {Change{"\"active\":true", "\"active\":false"},
                               Change{"\"userDisabled\":false", "\"userDisabled\":true"}}) {
    const std::size_t at = text.find(change.from, start);
    if (start == std::string::npos || at == std::string::npos || at > end) return false;
    text.replace(at, change.from.size(), change.to);
  }
  std::filesystem::remove(scene.profile + "/addonStartup.json.lz4");
  std::ofstream(path, std::ios::trunc) << text;
  return true;
}

// The manifest written by root, readable by no one else: an install run
// with sudo.
bool rootsManifest(Scene& scene) {
  scene.rootOwned = {scene.userManifest()};
  return scene.write(scene.userManifest(), manifest(scene.family, ours(scene.family)), 0600);
}

// Registered and started with a profile folder of the user's own.
bool ownProfile(Scene& scene) {
  scene.userDataDir = scene.home + "/profile";
  scene.install({"--user-data-dir", scene.userDataDir});
  // Asked as the troubleshooting pages ask, without the folder.
  scene.question = {"--browser", "chromium", "--origin", kChromiumOrigin};
  return true;
}

Arrange withBrowserEnvironment(const std::string& entry) {
  return [=](Scene& scene) {
    scene.install({});
    scene.browserEnvironment.push_back(replaced(entry, "@HOME@", scene.home));
    return true;
  };
}

const std::string kWrapper = "#!/bin/sh\n@SET@ exec '@HOST@' \"$@\"\n";

// Edits to the manifest: invalid JSON at line 5, column 3 (a comma left
// out), and a second "path", the last, naming no file.
const std::string kInvalidJson[] = {"\"@HOST@\",", "\"@HOST@\""};  // a comma left out
const std::string kTwoPaths[] = {"]\n}",
                                 "],\n  \"path\": \"" + std::string(kMissingHost) + "\"\n}"};

// Cases that go the same way in both families.
const std::vector<Case> kManifestsInBoth = {
    refuses("two-paths-last-missing", {kMissingHost}, byHand(kTwoPaths[0], kTwoPaths[1])),
    connects("byte-order-mark", byteOrderMark),
    refuses("invalid-json", {"@MANIFEST@", "line 5", "column 3"},
            byHand(kInvalidJson[0], kInvalidJson[1])),
    refuses("not-executable", {"@HOME@/bin/ostrel-native-host", "execut"}, hostAt("", 0644)),
    refuses("crlf-wrapper", {"@HOME@/bin/ostrel-native-host", "CRLF"},
            hostAt("#!/bin/sh\r\nexec '@HOST@' \"$@\"\r\n", 0755)),
    refuses("name-differs", {"com.ostrel.other"},
            byHand("\"com.ostrel.native_host\"", "\"com.ostrel.other\"")),
    refuses("relative-path", {"absolute"}, relativePath),
    refuses("manifest-of-root-0600", {"@MANIFEST@", "cannot read"}, rootsManifest),
};
const std::vector<Case> kEnvironmentInBoth = {
    refuses("no-permission", {"nativeMessaging"}, withoutPermission),
    unreached("browser-with-other-socket", {"OSTREL_SOCKET_PATH", "@HOME@/other.sock"},
              browserWithOtherSocket),
    unreached(
        "wrapper-sets-socket",
        {"@HOME@/bin/ostrel-native-host", "OSTREL_SOCKET_PATH=@HOME@/elsewhere.sock"},
        hostAt(replaced(kWrapper, "@SET@", "OSTREL_SOCKET_PATH=@HOME@/elsewhere.sock"), 0755)),
    unreached("wrapper-sets-home", {"@HOME@/bin/ostrel-native-host", "HOME=@HOME@/elsewhere"},
              hostAt(replaced(kWrapper, "@SET@", "HOME=@HOME@/elsewhere"), 0755)),
    refuses("host-exits-at-once", {"@HOME@/bin/ostrel-native-host", "status 3", "no library here"},
            hostAt("#!/bin/sh\necho 'no library here' >&2\nexit 3\n", 0755)),
    unreached("socket-path-too-long", {"OSTREL_SOCKET_PATH", "bytes long", "at most"},
              withBrowserEnvironment("OSTREL_SOCKET_PATH=@HOME@/" + std::string(120, 's'))),
    unreached("application-of-another-user", {"another user", "root"},
              [](Scene& scene) {
                scene.rootApplication = true;
                return installed(scene);
              }),
};

const std::vector<Case> kChromiumPolicies = {
    refuses("policy-blocklist", {"NativeMessagingBlocklist", kManagedPolicy},
            underPolicy(kManagedPolicy, R"({"NativeMessagingBlocklist": ["*"]})")),
    refuses(
        "policy-blocklist-by-name", {"NativeMessagingBlocklist", kManagedPolicy},
        underPolicy(kManagedPolicy, R"({"NativeMessagingBlocklist": ["com.ostrel.native_host"]})")),
    connects("policy-blocklist-allowlist",
             underPolicy(kManagedPolicy, R"({"NativeMessagingBlocklist": ["*"],
                                             "NativeMessagingAllowlist": ["com.ostrel.native_host"]})")),
    connects("policy-blocklist-recommended",
             underPolicy(kRecommendedPolicy, R"({"NativeMessagingBlocklist": ["*"]})")),
    refuses("policy-user-level-off", {"NativeMessagingUserLevelHosts", kManagedPolicy},
            underPolicy(kManagedPolicy, R"({"NativeMessagingUserLevelHosts": false})")),
    connects(
        "policy-user-level-off-system-wide",
        underPolicy(kManagedPolicy, R"({"NativeMessagingUserLevelHosts": false})", {"--system"})),
    connects("policy-user-level-off-recommended",
             underPolicy(kRecommendedPolicy, R"({"NativeMessagingUserLevelHosts": false})")),
    refuses("policy-blocked-permission", {"ExtensionSettings", kManagedPolicy},
            underPolicy(kManagedPolicy, kBlockedPermission)),
    refuses(
        "policy-blocked-permission-by-id", {"ExtensionSettings", kManagedPolicy},
        underPolicy(kManagedPolicy, R"({"ExtensionSettings": {"gjmfcaghjdeioakbkgmilngmhhgghjel":
                                              {"blocked_permissions": ["nativeMessaging"]}}})")),
    connects("policy-blocked-permission-recommended",
             underPolicy(kRecommendedPolicy, kBlockedPermission)),
    refuses("policy-installation-blocked", {"ExtensionSettings", "blocked", kManagedPolicy},
            underPolicy(kManagedPolicy,
                        R"({"ExtensionSettings": {"*": {"installation_mode": "blocked"}}})")),
    refuses(
        "policy-installation-removed-by-id", {"ExtensionSettings", "removed"},
        underPolicy(kManagedPolicy, R"({"ExtensionSettings": {"gjmfcaghjdeioakbkgmilngmhhgghjel":
                                              {"installation_mode": "removed"}}})")),
    // Blocked by default, Chromium loads no unpacked extension, whatever its own entry.
    refuses("policy-unpacked-blocked-allowed-by-id", {"ExtensionSettings", "unpacked"},
            underPolicy(kManagedPolicy, R"({"ExtensionSettings": {
                                              "*": {"installation_mode": "blocked"},
                                              "gjmfcaghjdeioakbkgmilngmhhgghjel":
                                              {"installation_mode": "allowed"}}})")),
    refuses("policy-install-blocklist", {"ExtensionInstallBlocklist", kManagedPolicy},
            underPolicy(kManagedPolicy, R"({"ExtensionInstallBlocklist": ["*"]})")),
    // Only Chromium is installed: Google Chrome's policies stop nothing.
    connects("policy-of-a-browser-not-installed",
             underPolicy("/etc/opt/chrome/policies/managed/policy.json",
                         R"({"NativeMessagingBlocklist": ["*"]})")),
};

const std::vector<Case> kChromiumManifests = {
    connects("good", installed),
    refuses("one-malformed-origin",
            {"allowed_origins", "chrome-extension://abcdefghijklmnopabcdefghijklmnop"},
            byHand(R"(/"])", R"(/", "chrome-extension://abcdefghijklmnopabcdefghijklmnop"])")),
    connects("origin-with-star", byHand("hhgghjel/\"", "hhgghjel/*\"")),
    connects("upper-case-id",
             byHand("gjmfcaghjdeioakbkgmilngmhhgghjel", "GJMFCAGHJDEIOAKBKGMILNGMHHGGHJEL")),
    refuses("firefox-manifest", {"allowed_extensions", "Firefox"}, otherFormat),
    connects("comment-line", byHand("{\n", "// written by hand\n{\n")),
    // Chromium takes the per-user manifest when there is one, working or not.
    refuses("user-shadows-system-wide", {kMissingHost},
            [](Scene& scene) {
              scene.install({"--system"});
              return byHand("@HOST@", kMissingHost)(scene);
            }),
};

const std::vector<Case> kChromiumEnvironment = {
    unreached("browser-without-home", {"HOME"}, browserWithoutHome),
    connects("registered-for-own-profile", ownProfile),
    // The package's registration serves every profile folder.
    connects("system-wide-and-own-profile",
             [](Scene& scene) {
               scene.install({"--system"});
               scene.userDataDir = scene.home + "/second";
               return true;
             }),
    refuses("headless-temporary-profile", {"temporary profile"},
            [](Scene& scene) {
              scene.temporaryProfile = true;
              return installed(scene);
            }),
    refuses("loaded-without-key", {"without a key"},
            [](Scene& scene) {
              scene.install({});
              const std::string key = R"("key": ")";
              return scene.changeExtension(key, R"("no-key": ")");
            }),
    // Larger than the doctor reads; the browser reads it.
    connects("preferences-too-large",
             [](Scene& scene) {
               scene.install({});
               return scene.write(scene.home + "/.config/chromium/Default/Preferences",
                                  R"({"padding": ")" + std::string(17 << 20, 'x') + "\"}");
             }),
    // Installed for the default profile; the browser runs with another.
    refuses("browser-with-other-profile", {"@HOME@/profile"},
            [](Scene& scene) {
              scene.install({});
              scene.userDataDir = scene.home + "/profile";
              scene.question = {"--browser", "chromium", "--origin", kChromiumOrigin};
              return true;
            }),
};

const std::vector<Case> kFirefoxManifests = {
    connects(
        "good",
        [](Scene& scene) { return installed(scene) && scene.firefoxProfile(".mozilla/firefox"); }),
    refuses("chromium-manifest", {"allowed_origins", "Chromium"}, otherFormat),
    connects("system-wide",
             [](Scene& scene) {
               scene.install({"--system"});
               return true;
             }),
    // Firefox passes over a per-user manifest it cannot use to the
    // system-wide one.
    refuses("comment-line", {"@MANIFEST@", "JSON"}, byHand("{\n", "// written by hand\n{\n")),
    connects("broken-user-falls-back-to-system-wide",
             [](Scene& scene) {
               scene.install({"--system"});
               return byHand(kInvalidJson[0], kInvalidJson[1])(scene);
             }),
};

const std::vector<Case> kFirefoxProfiles = {
    connects("good-xdg-layout", installed),
    // Registered, and asked about, with an id that is not the add-on's.
    refuses("wrong-id", {kFirefoxId},
            [](Scene& scene) {
              scene.setup.push_back(
                  {"install", "--browser", "firefox", "--extension-id", "other@ostrel.test"});
              scene.question = {"--browser", "firefox", "--extension-id", "other@ostrel.test"};
              return true;
            }),
    connects("id-of-99-characters",
             [](Scene& scene) {
               scene.question = {"--browser", "firefox", "--extension-id", kLongId};
               return scene.changeExtension(kFirefoxId, kLongId) &&
                      byHand(kFirefoxId, kLongId)(scene);
             }),
    refuses("disabled", {"disabled"},
            [](Scene& scene) {
              scene.betweenRuns = disableAddon;
              return installed(scene);
            }),
    refuses("browser-without-home", {"HOME"}, browserWithoutHome),
};

// The findings of `doctor --json` that call a registration for `browser`
// allowed and installed; nothing when the output is not that document.
std::optional<int> allowedAndInstalled(const std::string& json, std::string_view browser) {
  simdjson::dom::parser parser;
  simdjson::dom::array findings;
  if (parser.parse(json)["findings"].get_array().get(findings) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  int count = 0;
  for (simdjson::dom::element finding : findings) {
    std::string_view kind;
    std::string_view words;
    std::string_view key;
    if (finding["kind"].get_string().get(kind) != simdjson::SUCCESS ||
        finding["words"].get_string().get(words) != simdjson::SUCCESS) {
      return std::nullopt;
    }
    const bool about =
        finding["browser"].get_string().get(key) == simdjson::SUCCESS && key == browser;
    if (kind == "ok" && about && words.find("allowed and installed") != std::string_view::npos) {
      ++count;
    }
  }
  return count;
}

std::string said(const Answer& answer) {
  return "exit " + std::to_string(answer.exitCode) + ":\n" + answer.output;
}

void check(Family family, const std::string& name, const Case& row, const Verdict& verdict) {
  SCOPED_TRACE(name);
  const BrowserRun& browser = verdict.browser;
  std::cout << "[oracle] " << name << ": " << describe(browser.outcome) << " after "
            << static_cast<int>(browser.seconds * 10) / 10.0 << " s; extension: \""
            << browser.extensionWords << "\"; browser: \"" << browser.browserWords
            << "\"; doctor: exit " << verdict.answer.exitCode << ", \""
            << verdict.answer.firstLine() << "\"";
  if (!verdict.fix.empty()) {
    std::cout << "; fix: \"" << verdict.fix << "\", after which the browser "
              << describe(verdict.afterFix.outcome);
  }
  std::cout << std::endl;
  if (!verdict.failure.empty()) {
    ADD_FAILURE() << verdict.failure;
    return;
  }
  EXPECT_EQ(browser.outcome, row.measured)
      << "the browser " << describe(browser.outcome) << ", where it was seen to "
      << describe(row.measured) << ": it changed, or the case no longer sets up what it says\n"
      << browser.logTail;
  const bool connects = browser.outcome == kConnected;
  const bool yes = verdict.answer.exitCode == 0 && verdict.answer.output.starts_with("yes:");
  const bool no = verdict.answer.exitCode == 1 && verdict.answer.output.starts_with("no: ");
  ASSERT_TRUE(yes || no) << "the doctor answered neither yes nor no, " << said(verdict.answer);
  EXPECT_EQ(yes, connects) << "the browser " << describe(browser.outcome) << " (\""
                           << browser.extensionWords << "\"), the doctor said "
                           << said(verdict.answer);
  if (no && !connects) {
    for (const std::string& word : verdict.words) {
      EXPECT_NE(verdict.answer.reason().find(word), std::string::npos)
          << "the doctor's first reason does not name \"" << word << "\": " << said(verdict.answer);
    }
  }

  std::optional<int> fine =
      allowedAndInstalled(verdict.report.output, family == kChromium ? "chromium" : "firefox");
  EXPECT_TRUE(fine) << "doctor --json gave no findings document, " << said(verdict.report);
  if (fine && connects) {
    EXPECT_GT(*fine, 0) << "doctor --json calls nothing allowed and installed, "
                        << said(verdict.report);
    EXPECT_EQ(verdict.report.exitCode, 0) << said(verdict.report);
  }
  EXPECT_EQ(verdict.full.exitCode, verdict.report.exitCode)
      << "doctor and doctor --json differ, " << said(verdict.full);
  if (fine && !connects) {
    EXPECT_EQ(*fine, 0) << "doctor --json calls a registration allowed and installed that the "
                           "browser does not connect, "
                        << said(verdict.report);
    EXPECT_EQ(verdict.report.exitCode, 1) << said(verdict.report);
  }

  if (verdict.fix.empty()) return;
  SCOPED_TRACE("after the fix: " + verdict.fix);
  EXPECT_EQ(verdict.fixRun.exitCode, 0) << said(verdict.fixRun);
  EXPECT_EQ(verdict.afterFix.outcome, kConnected)
      << "the fix did not mend it: the browser " << describe(verdict.afterFix.outcome) << " (\""
      << verdict.afterFix.extensionWords << "\")\n"
      << verdict.afterFix.logTail;
  EXPECT_TRUE(verdict.answerAfterFix.exitCode == 0 &&
              verdict.answerAfterFix.output.starts_with("yes:"))
      << said(verdict.answerAfterFix);
}

void judgeAll(Family family, std::initializer_list<std::vector<Case>> tables) {
  ::signal(SIGPIPE, SIG_IGN);
  std::string skipped;
  for (const std::vector<Case>& rows : tables) {
    for (const Case& row : rows) {
      const std::string name = (family == kChromium ? "chromium." : "firefox.") + row.name;
      Verdict verdict = judge(family, row);
      if (verdict.skipped.empty()) {
        check(family, name, row, verdict);
      } else {
        skipped = verdict.skipped;
        std::cout << "[oracle] " << name << ": skipped: " << skipped << std::endl;
      }
    }
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

TEST(Oracle, ChromiumPolicies) { judgeAll(kChromium, {kChromiumPolicies}); }
TEST(Oracle, ChromiumManifests) { judgeAll(kChromium, {kManifestsInBoth, kChromiumManifests}); }
TEST(Oracle, ChromiumEnvironment) {
  judgeAll(kChromium, {kEnvironmentInBoth, kChromiumEnvironment});
}
TEST(Oracle, FirefoxManifests) { judgeAll(kFirefox, {kManifestsInBoth, kFirefoxManifests}); }
TEST(Oracle, FirefoxProfiles) { judgeAll(kFirefox, {kEnvironmentInBoth, kFirefoxProfiles}); }

}  // namespace
}  // namespace ostrel::e2e
