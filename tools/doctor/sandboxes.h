#ifndef OSTREL_DOCTOR_SANDBOXES_H_
#define OSTREL_DOCTOR_SANDBOXES_H_

// Finds browsers installed as a Flatpak or a Snap. Their sandboxes read no
// host manifests from the usual folders and cannot reach the application's
// socket, so a host registered the usual way never works with them. This
// only looks for the installations; it changes nothing.

#include <string>
#include <vector>

#include "browsers.h"

namespace ostrel::doctor {

using setup::Browser;
using setup::Environment;

struct SandboxedBrowser {
  const Browser* browser = nullptr;
  std::string packaging;  // "Flatpak" or "Snap"
  std::string location;   // the folder that shows the installation
  // A Flatpak granted --talk-name=org.freedesktop.Flatpak by an override
  // (per user or system-wide): it may start programs outside its sandbox.
  bool talksToHost = false;
};

// Looks in the per-user and system-wide Flatpak folders and in /snap, below
// `environment`'s home and system root. Finds nothing on macOS.
std::vector<SandboxedBrowser> findSandboxedBrowsers(const Environment& environment);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_SANDBOXES_H_
