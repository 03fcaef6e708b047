#include "sandboxes.h"

#include <algorithm>

#include "files.h"

namespace ostrel::doctor {
namespace {

using setup::joinPath;

void lookFor(const Browser& browser, std::string_view packaging, const std::string& location,
             std::vector<SandboxedBrowser>& found) {
  if (setup::isDirectory(location)) {
    found.push_back({.browser = &browser,
                     .packaging = std::string(packaging),
                     .location = location,
                     .talksToHost = false});
  }
}

bool mayTalkToFlatpak(const Environment& environment, std::string_view id) {
  const std::string folders[] = {joinPath(environment.home, ".local/share/flatpak/overrides"),
                                 environment.systemRoot + "/var/lib/flatpak/overrides"};
  return std::ranges::any_of(folders, [&](const std::string& folder) {
    const setup::FileContents overrides = setup::readWholeFile(joinPath(folder, id), 1 << 20);
    return overrides.state == setup::FileState::kPresent &&
           overrides.text.find("org.freedesktop.Flatpak=talk") != std::string::npos;
  });
}

}  // namespace

std::vector<SandboxedBrowser> findSandboxedBrowsers(const Environment& environment) {
  std::vector<SandboxedBrowser> found;
  if (environment.platform != setup::Platform::kLinux) return found;
  const std::string userFlatpaks = joinPath(environment.home, ".local/share/flatpak/app");
  const std::string systemFlatpaks = environment.systemRoot + "/var/lib/flatpak/app";
  const std::string snaps = environment.systemRoot + "/snap";
  for (const Browser& browser : setup::allBrowsers()) {
    if (!browser.flatpakId.empty()) {
      lookFor(browser, "Flatpak", joinPath(userFlatpaks, browser.flatpakId), found);
      lookFor(browser, "Flatpak", joinPath(systemFlatpaks, browser.flatpakId), found);
    }
    if (!browser.snapName.empty()) {
      lookFor(browser, "Snap", joinPath(snaps, browser.snapName), found);
    }
  }
  for (SandboxedBrowser& entry : found) {
    entry.talksToHost = mayTalkToFlatpak(environment, entry.browser->flatpakId);
  }
  return found;
}

}  // namespace ostrel::doctor
