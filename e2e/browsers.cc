#include "browsers.h"

#include <filesystem>
#include <fstream>

namespace ostrel::e2e {
namespace {

// Fixed by the "key" in extension/chromium/manifest.json.
constexpr const char* kChromiumOrigin = "chrome-extension://gjmfcaghjdeioakbkgmilngmhhgghjel/";
// browser_specific_settings.gecko.id in extension/firefox/manifest.json.
constexpr const char* kFirefoxId = "end-to-end@ostrel.test";

constexpr const char* kHostName = "com.ostrel.native_host";

bool prepareChromium(const std::string& program, const std::string& folder,
                     const std::string& hostPath, PreparedBrowser& prepared, std::string&) {
  const std::string profile = folder + "/profile";
  prepared.setupArguments = {"--user-data-dir", profile,       "--origin",
                             kChromiumOrigin,   "--host-path", hostPath};
  prepared.command = chromiumCommand(program, profile, OSTREL_E2E_CHROMIUM_EXTENSION);
  prepared.hostArguments = {kChromiumOrigin};
  return true;
}

// Firefox installs an add-on found in the profile's extensions folder under
// its id, unsigned, and enables it without asking, only with both of the
// first two preferences; without either it silently stays out. The rest
// keep a headless run from reaching for the network.
constexpr const char* kFirefoxPreferences =
    "user_pref(\"xpinstall.signatures.required\", false);\n"
    "user_pref(\"extensions.autoDisableScopes\", 0);\n"
    "user_pref(\"extensions.update.enabled\", false);\n"
    "user_pref(\"app.update.enabled\", false);\n"
    "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
    "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
    "user_pref(\"toolkit.telemetry.enabled\", false);\n"
    "user_pref(\"network.connectivity-service.enabled\", false);\n"
    "user_pref(\"network.captive-portal-service.enabled\", false);\n"
    // The console on standard output: the extension's words and the
    // browser's own errors.
    "user_pref(\"devtools.console.stdout.chrome\", true);\n"
    "user_pref(\"devtools.console.stdout.content\", true);\n";

bool prepareFirefox(const std::string& program, const std::string& folder,
                    const std::string& hostPath, PreparedBrowser& prepared, std::string& error) {
  const std::string profile = folder + "/profile";
  std::error_code failure;
  std::filesystem::create_directories(profile + "/extensions", failure);
  if (!failure) {
    std::filesystem::copy_file(OSTREL_E2E_FIREFOX_ADDON,
                               profile + "/extensions/" + kFirefoxId + ".xpi", failure);
  }
  if (failure || !writeFirefoxPreferences(profile)) {
    error = "cannot write the Firefox profile in " + profile;
    return false;
  }
  prepared.setupArguments = {"--browser", "firefox",     "--extension-id",
                             kFirefoxId,  "--host-path", hostPath};
  prepared.command = firefoxCommand(program, profile);
  // Per user, so under HOME, which is `folder`.
  prepared.hostArguments = {folder + "/.mozilla/native-messaging-hosts/" + kHostName + ".json",
                            kFirefoxId};
  return true;
}

}  // namespace

std::vector<std::string> chromiumCommand(const std::string& program, const std::string& userDataDir,
                                         const std::string& extension) {
  std::vector<std::string> command = {program,
                                      "--headless=new",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--no-first-run",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--disable-dev-shm-usage",
                                      "--disable-features=DisableLoadExtensionCommandLineSwitch",
                                      "--enable-logging=stderr",
                                      "--user-data-dir=" + userDataDir,
                                      "--load-extension=" + extension,
                                      "about:blank"};
  // None given, headless Chromium makes a temporary profile for the run.
  if (userDataDir.empty()) std::erase(command, "--user-data-dir=");
  return command;
}

std::vector<std::string> firefoxCommand(const std::string& program, const std::string& profile) {
  return {program, "--headless", "--no-remote", "-profile", profile, "about:blank"};
}

bool writeFirefoxPreferences(const std::string& profile) {
  std::ofstream preferences(profile + "/user.js");
  preferences << kFirefoxPreferences;
  preferences.close();
  return static_cast<bool>(preferences);
}

const Browser kChromium = {"Chromium", "chromium", "OSTREL_E2E_CHROMIUM", "chromium",
                           prepareChromium};
const Browser kFirefox = {"Firefox", "firefox-esr", "OSTREL_E2E_FIREFOX", "firefox-esr",
                          prepareFirefox};

}  // namespace ostrel::e2e
