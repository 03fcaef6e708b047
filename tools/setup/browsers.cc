#include "browsers.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "files.h"
#include "host/settings.h"

namespace ostrel::setup {
namespace {

constexpr std::array<Browser, 6> kBrowsers{{
    {.key = "chrome",
     .displayName = "Google Chrome",
     .family = Family::kChromium,
     .linuxUser = "google-chrome/NativeMessagingHosts",
     .linuxSystem = "/etc/opt/chrome/native-messaging-hosts",
     .macUser = "Library/Application Support/Google/Chrome/NativeMessagingHosts",
     .macSystem = "/Library/Google/Chrome/NativeMessagingHosts",
     .flatpakId = "com.google.Chrome",
     .snapName = "",
     .linuxPrograms = "google-chrome google-chrome-stable",
     .macApp = "Google Chrome.app",
     .linuxExecutables = "chrome",
     .macExecutable = "Google Chrome",
     .linuxPolicies = "/etc/opt/chrome/policies",
     .macPolicyDomain = "com.google.Chrome",
     .policyPage = "chrome://policy"},
    {.key = "chromium",
     .displayName = "Chromium",
     .family = Family::kChromium,
     .linuxUser = "chromium/NativeMessagingHosts",
     .linuxSystem = "/etc/chromium/native-messaging-hosts",
     .macUser = "Library/Application Support/Chromium/NativeMessagingHosts",
     .macSystem = "/Library/Application Support/Chromium/NativeMessagingHosts",
     .flatpakId = "org.chromium.Chromium",
     .snapName = "chromium",
     .linuxPrograms = "chromium chromium-browser",
     .macApp = "Chromium.app",
     .linuxExecutables = "chromium chromium-browser",
     .macExecutable = "Chromium",
     .linuxPolicies = "/etc/chromium/policies",
     .macPolicyDomain = "org.chromium.Chromium",
     .policyPage = "chrome://policy"},
    {.key = "edge",
     .displayName = "Microsoft Edge",
     .family = Family::kChromium,
     .linuxUser = "microsoft-edge/NativeMessagingHosts",
     .linuxSystem = "/etc/opt/edge/native-messaging-hosts",
     .macUser = "Library/Application Support/Microsoft Edge/NativeMessagingHosts",
     .macSystem = "/Library/Microsoft/Edge/NativeMessagingHosts",
     .flatpakId = "com.microsoft.Edge",
     .snapName = "",
     .linuxPrograms = "microsoft-edge microsoft-edge-stable",
     .macApp = "Microsoft Edge.app",
     .linuxExecutables = "msedge",
     .macExecutable = "Microsoft Edge",
     .linuxPolicies = "/etc/opt/edge/policies",
     .macPolicyDomain = "com.microsoft.Edge",
     .policyPage = "edge://policy"},
    // Brave's and Vivaldi's policy folders: Brave's own documentation, and
    // Vivaldi's as its packages' AppArmor rules name it.
    {.key = "brave",
     .displayName = "Brave",
     .family = Family::kChromium,
     .linuxUser = "BraveSoftware/Brave-Browser/NativeMessagingHosts",
     .linuxSystem = "",
     .macUser = "Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts",
     .macSystem = "",
     .flatpakId = "com.brave.Browser",
     .snapName = "brave",
     .linuxPrograms = "brave-browser brave",
     .macApp = "Brave Browser.app",
     .linuxExecutables = "brave",
     .macExecutable = "Brave Browser",
     .linuxPolicies = "/etc/brave/policies",
     .macPolicyDomain = "com.brave.Browser",
     .policyPage = "brave://policy"},
    {.key = "vivaldi",
     .displayName = "Vivaldi",
     .family = Family::kChromium,
     .linuxUser = "vivaldi/NativeMessagingHosts",
     .linuxSystem = "",
     .macUser = "Library/Application Support/Vivaldi/NativeMessagingHosts",
     .macSystem = "",
     .flatpakId = "com.vivaldi.Vivaldi",
     .snapName = "vivaldi",
     .linuxPrograms = "vivaldi vivaldi-stable",
     .macApp = "Vivaldi.app",
     .linuxExecutables = "vivaldi-bin",
     .macExecutable = "Vivaldi",
     .linuxPolicies = "/etc/vivaldi/policies",
     .macPolicyDomain = "com.vivaldi.Vivaldi",
     .policyPage = "vivaldi://policy"},
    {.key = "firefox",
     .displayName = "Firefox",
     .family = Family::kFirefox,
     .linuxUser = ".mozilla/native-messaging-hosts",
     .linuxSystem = "/usr/lib/mozilla/native-messaging-hosts",
     .macUser = "Library/Application Support/Mozilla/NativeMessagingHosts",
     .macSystem = "/Library/Application Support/Mozilla/NativeMessagingHosts",
     .flatpakId = "org.mozilla.firefox",
     .snapName = "firefox",
     .linuxPrograms = "firefox firefox-esr",
     .macApp = "Firefox.app",
     .linuxExecutables = "firefox firefox-esr firefox-bin",
     .macExecutable = "firefox",
     .linuxPolicies = "",
     .macPolicyDomain = "",
     .policyPage = ""},
}};

char folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; }

bool sameFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return folded(x) == folded(y); });
}

// Whether `name` is one of the space-separated `names`, case folded.
bool amongNames(std::string_view name, std::string_view names) {
  while (!names.empty()) {
    const std::size_t end = std::min(names.find(' '), names.size());
    if (end > 0 && sameFolded(name, names.substr(0, end))) return true;
    names.remove_prefix(std::min(end + 1, names.size()));
  }
  return false;
}

}  // namespace

std::optional<Environment> currentEnvironment() {
  std::optional<std::string> home = homeDirectory();
  if (!home || home->empty()) return std::nullopt;
  Environment environment;
  environment.platform = currentPlatform();
  environment.home = *home;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  environment.xdgConfigHome = xdg != nullptr ? xdg : "";
  // A relative value is ignored, as the XDG rules ask.
  if (environment.xdgConfigHome.starts_with('/')) {
    environment.configHome = environment.xdgConfigHome;
  } else {
    environment.configHome = joinPath(*home, ".config");
  }
  const char* path = std::getenv("PATH");
  environment.searchPath = path != nullptr ? path : "/usr/bin:/bin";
  return environment;
}

std::span<const Browser> allBrowsers() { return kBrowsers; }

const Browser* findBrowser(std::string_view key) {
  for (const Browser& browser : kBrowsers) {
    if (browser.key == key) return &browser;
  }
  return nullptr;
}

std::optional<std::string> manifestFolder(const Browser& browser, Scope scope,
                                          const Environment& environment) {
  bool onLinux = environment.platform == Platform::kLinux;
  if (scope == Scope::kSystem) {
    std::string_view folder = onLinux ? browser.linuxSystem : browser.macSystem;
    if (folder.empty()) return std::nullopt;
    return environment.systemRoot + std::string(folder);
  }
  if (!onLinux) return joinPath(environment.home, browser.macUser);
  if (browser.family == Family::kFirefox) return joinPath(environment.home, browser.linuxUser);
  return joinPath(environment.configHome, browser.linuxUser);
}

std::string userDataManifestFolder(const std::string& dir) {
  return joinPath(dir, "NativeMessagingHosts");
}

const Browser* browserOfExecutable(std::string_view path, Platform platform) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  if (name.empty()) return nullptr;
  for (const Browser& browser : kBrowsers) {
    if (platform == Platform::kMacOS ? sameFolded(name, browser.macExecutable)
                                     : amongNames(name, browser.linuxExecutables)) {
      return &browser;
    }
  }
  return nullptr;
}

std::string_view familyName(Family family) {
  return family == Family::kChromium ? "Chromium-family" : "Firefox";
}

}  // namespace ostrel::setup
