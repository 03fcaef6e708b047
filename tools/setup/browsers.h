#ifndef OSTREL_SETUP_BROWSERS_H_
#define OSTREL_SETUP_BROWSERS_H_

// The browsers the setup tool knows and where each one looks for
// native-messaging host manifests, per user and system-wide, on Linux and
// macOS. It only computes folder names; it never touches the file system.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform.h"

namespace ostrel::setup {

// Chromium-family manifests list "allowed_origins"; Firefox manifests list
// "allowed_extensions".
enum class Family { kChromium, kFirefox };

enum class Scope { kUser, kSystem };

struct Browser {
  std::string_view key;          // as given to --browser
  std::string_view displayName;  // for messages
  Family family;
  // Per-user folder on Linux: below the configuration home ($XDG_CONFIG_HOME
  // or ~/.config) for the Chromium family, below the home folder for Firefox.
  std::string_view linuxUser;
  std::string_view linuxSystem;  // absolute; empty when no folder is known
  std::string_view macUser;      // below the home folder
  std::string_view macSystem;    // absolute; empty when no folder is known
  std::string_view flatpakId;    // empty when there is none
  std::string_view snapName;     // empty when there is none
  // The names its program goes by on Linux, separated by spaces, and its
  // application bundle on macOS; used to tell whether it looks installed.
  std::string_view linuxPrograms;
  std::string_view macApp;
  // The file name of the executable its main process runs (what
  // /proc/PID/exe or proc_pidpath shows, not what it calls itself): on
  // Linux, separated by spaces; on macOS, the one in macApp/Contents/MacOS.
  std::string_view linuxExecutables;
  std::string_view macExecutable;
  // Chromium family: the Linux folder holding its policies' managed/ and
  // recommended/ folders, its managed preferences' domain on macOS, and
  // the page where it shows every policy. Empty for Firefox.
  std::string_view linuxPolicies;
  std::string_view macPolicyDomain;
  std::string_view policyPage;
};

// Where per-user and system-wide folders are, for the user running the tool.
struct Environment {
  Platform platform = Platform::kLinux;
  std::string home;
  // $XDG_CONFIG_HOME when it is an absolute path, otherwise home + "/.config".
  std::string configHome;
  // The value of XDG_CONFIG_HOME (empty when unset), to explain configHome.
  std::string xdgConfigHome;
  // $PATH, where programs are looked for.
  std::string searchPath;
  // Prefixed to every system-wide folder; empty except in tests.
  std::string systemRoot;
};

// The environment of this process, or nothing when no home folder is known.
std::optional<Environment> currentEnvironment();

std::span<const Browser> allBrowsers();

// The browser whose key is `key`, or nullptr.
const Browser* findBrowser(std::string_view key);

// The folder `browser` reads manifests from in `scope`, or nothing when no
// such folder is known (some browsers have no system-wide folder).
std::optional<std::string> manifestFolder(const Browser& browser, Scope scope,
                                          const Environment& environment);

// The folder a Chromium-family browser started with --user-data-dir=`dir`
// reads per-user manifests from.
std::string userDataManifestFolder(const std::string& dir);

std::string_view familyName(Family family);

// The browser whose main process runs the executable at `path`, by its
// file name, case folded; nullptr for any other program.
const Browser* browserOfExecutable(std::string_view path, Platform platform);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_BROWSERS_H_
