#include "sandboxes.h"

#include "files.h"

namespace ostrel::setup {
namespace {

void lookFor(const Browser& browser, std::string_view packaging, const std::string& location,
             std::vector<SandboxedBrowser>& found) {
  if (isDirectory(location)) {
    found.push_back(
        {.browser = &browser, .packaging = std::string(packaging), .location = location});
  }
}

}  // namespace

std::vector<SandboxedBrowser> findSandboxedBrowsers(const Environment& environment) {
  std::vector<SandboxedBrowser> found;
  if (environment.platform != Platform::kLinux) return found;
  const std::string userFlatpaks = joinPath(environment.home, ".local/share/flatpak/app");
  const std::string systemFlatpaks = environment.systemRoot + "/var/lib/flatpak/app";
  const std::string snaps = environment.systemRoot + "/snap";
  for (const Browser& browser : allBrowsers()) {
    if (!browser.flatpakId.empty()) {
      lookFor(browser, "Flatpak", joinPath(userFlatpaks, browser.flatpakId), found);
      lookFor(browser, "Flatpak", joinPath(systemFlatpaks, browser.flatpakId), found);
    }
    if (!browser.snapName.empty()) {
      lookFor(browser, "Snap", joinPath(snaps, browser.snapName), found);
    }
  }
  return found;
}

}  // namespace ostrel::setup
