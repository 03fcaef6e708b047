#ifndef OSTREL_SETUP_PACKAGE_FILES_H_
#define OSTREL_SETUP_PACKAGE_FILES_H_

// What the Debian package carries that depends on the browsers this tool
// knows, made at build time (by ostrel-package-files, which CMake runs)
// from the same table and code as the tool itself: the system-wide
// manifests of a package built with extension ids, checked as install
// checks its values, and the removal script with its lists of folders. So
// a browser added to browsers.cc is known to the package too.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"

namespace ostrel::setup {

struct PackagedFile {
  std::string path;  // absolute, on the system the package is installed on
  std::string text;
};

// The manifests of a package that allows `origins` (Chromium family; a
// bare id stands for its origin) and `ids` (Firefox), naming `hostPath`:
// one per browser with a system-wide folder on Linux, for each family
// given values. Every value is checked by the rules of install's --origin
// and --extension-id; a sentence per fault, prefixed by the build setting
// it came from, goes to `problems`, and then nothing is made.
std::vector<PackagedFile> packageManifests(const std::vector<std::string>& origins,
                                           const std::vector<std::string>& ids,
                                           const std::string& hostPath,
                                           std::vector<std::string>& problems);

// The folders of the browsers on Linux: system-wide ones (of `family`
// only, when given), and per-user ones relative to the home folder, as
// they are when XDG_CONFIG_HOME is not set.
std::vector<std::string> linuxSystemFolders(std::optional<Family> family = std::nullopt);
std::vector<std::string> linuxUserFolders();

// The removal script: `script` with each @NAME@ replaced by a value quoted
// for the shell: @SYSTEM_FOLDERS@ and @USER_FOLDERS@ (one a line),
// @TOOL_MARK@ (the line that marks a manifest this tool wrote),
// @TAP_MARK@ (the line that marks the tap's script) and @TAP_FOLDER@ (where
// the tap's scripts lie, relative to the home folder). Nothing when a name
// is unknown or unused.
std::optional<std::string> removalScript(std::string_view script);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_PACKAGE_FILES_H_
