#ifndef OSTREL_SETUP_TARGETS_H_
#define OSTREL_SETUP_TARGETS_H_

// Turns the options into the list of manifest files a command works on: one
// per browser and scope, or the single folder of a --user-data-dir. Decides
// nothing about the files' contents.

#include <string>
#include <vector>

#include "browsers.h"
#include "options.h"

namespace ostrel::setup {

struct Target {
  std::string label;                 // "Chromium, per user", "profile folder /x"
  const Browser* browser = nullptr;  // nothing for a profile folder
  Family family = Family::kChromium;
  Scope scope = Scope::kUser;
  std::string folder;
  std::string manifestPath;
};

struct TargetList {
  std::vector<Target> targets;
  std::vector<std::string> notes;  // browsers left out, and why
  std::string error;               // set when the options contradict each other
};

// For install and uninstall: the scope chosen by --system, the browsers
// named (every browser when none is named and `defaultToAll`).
TargetList changeTargets(const Options& options, const Environment& environment, bool defaultToAll);

// For status and doctor: every named browser (all by default) in both
// scopes, or only the system-wide folders with --system.
TargetList inspectTargets(const Options& options, const Environment& environment);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_TARGETS_H_
