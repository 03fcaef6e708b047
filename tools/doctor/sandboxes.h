#ifndef OSTREL_SETUP_SANDBOXES_H_
#define OSTREL_SETUP_SANDBOXES_H_

// Finds browsers installed as a Flatpak or a Snap. Their sandboxes read no
// host manifests from the usual folders and cannot reach the application's
// socket, so a host registered the usual way never works with them. This
// only looks for the installations; it changes nothing.

#include <string>
#include <vector>

#include "browsers.h"

namespace ostrel::setup {

struct SandboxedBrowser {
  const Browser* browser = nullptr;
  std::string packaging;  // "Flatpak" or "Snap"
  std::string location;   // the folder that shows the installation
};

// Looks in the per-user and system-wide Flatpak folders and in /snap, below
// `environment`'s home and system root. Finds nothing on macOS.
std::vector<SandboxedBrowser> findSandboxedBrowsers(const Environment& environment);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_SANDBOXES_H_
