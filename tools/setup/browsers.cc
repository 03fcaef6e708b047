#include "browsers.h"

#include <array>
#include <cstdlib>

#include "files.h"
#include "host/settings.h"

namespace ostrel::setup {
namespace {

constexpr std::array<Browser, 6> kBrowsers{{
    {"chrome", "Google Chrome", Family::kChromium, "google-chrome/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts",
     "Library/Application Support/Google/Chrome/NativeMessagingHosts",
     "/Library/Google/Chrome/NativeMessagingHosts", "com.google.Chrome", "",
     "google-chrome google-chrome-stable", "Google Chrome.app"},
    {"chromium", "Chromium", Family::kChromium, "chromium/NativeMessagingHosts",
     "/etc/chromium/native-messaging-hosts",
     "Library/Application Support/Chromium/NativeMessagingHosts",
     "/Library/Application Support/Chromium/NativeMessagingHosts", "org.chromium.Chromium",
     "chromium", "chromium chromium-browser", "Chromium.app"},
    {"edge", "Microsoft Edge", Family::kChromium, "microsoft-edge/NativeMessagingHosts",
     "/etc/opt/edge/native-messaging-hosts",
     "Library/Application Support/Microsoft Edge/NativeMessagingHosts",
     "/Library/Microsoft/Edge/NativeMessagingHosts", "com.microsoft.Edge", "",
     "microsoft-edge microsoft-edge-stable", "Microsoft Edge.app"},
    {"brave", "Brave", Family::kChromium, "BraveSoftware/Brave-Browser/NativeMessagingHosts", "",
     "Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts", "",
     "com.brave.Browser", "brave", "brave-browser brave", "Brave Browser.app"},
    {"vivaldi", "Vivaldi", Family::kChromium, "vivaldi/NativeMessagingHosts", "",
     "Library/Application Support/Vivaldi/NativeMessagingHosts", "", "com.vivaldi.Vivaldi",
     "vivaldi", "vivaldi vivaldi-stable", "Vivaldi.app"},
    {"firefox", "Firefox", Family::kFirefox, ".mozilla/native-messaging-hosts",
     "/usr/lib/mozilla/native-messaging-hosts",
     "Library/Application Support/Mozilla/NativeMessagingHosts",
     "/Library/Application Support/Mozilla/NativeMessagingHosts", "org.mozilla.firefox", "firefox",
     "firefox firefox-esr", "Firefox.app"},
}};

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

std::string_view familyName(Family family) {
  return family == Family::kChromium ? "Chromium-family" : "Firefox";
}

}  // namespace ostrel::setup
