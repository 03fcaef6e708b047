#ifndef OSTREL_DOCTOR_RUNNING_BROWSERS_H_
#define OSTREL_DOCTOR_RUNNING_BROWSERS_H_

// The browsers this user runs now, found from their main processes: which
// browser, its own profile folder (--user-data-dir, from which a
// Chromium-family browser reads host manifests; Firefox's -profile), the
// extension folders it was told to load (--load-extension), the home
// folder it reads per-user files below, and the environment it passes to
// the hosts it starts. Every browser of the invoking user counts, whatever
// its environment (one started without HOME is exactly one to see), and
// only those: a process counts when all four of its user ids are this
// user's and it runs a browser's own executable, so a set-user-id program
// another user started under a browser's name is passed over. Run as
// root, it reads none of the folders a browser's command line names.
// Reads only; empty where the system does not show other processes'
// command lines.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"

namespace ostrel::doctor {

struct RunningBrowser {
  pid_t pid = -1;
  std::string program;                      // argv[0]
  const setup::Browser* browser = nullptr;  // by its executable's name
  setup::Family family = setup::Family::kChromium;
  std::string userDataDir;  // as given, made absolute against its folder; empty: the default
  std::string profile;      // Firefox: -profile's folder, made absolute; empty: the default
  std::vector<std::string> loadedExtensions;  // --load-extension folders, absolute
  // Chromium run headless without --user-data-dir: on a temporary profile,
  // made for the run, that reads no per-user manifest.
  bool temporaryProfile = false;
  // "NAME=value" each; nothing when it could not be read.
  std::optional<std::vector<std::string>> environment;
  // The home folder it reads per-user files below, as the browsers find
  // it: HOME when that is an absolute path, else the password database's;
  // empty when its environment cannot be read.
  std::string home;
  bool homeFromPasswordDatabase = false;  // HOME unset or not absolute
  // Run as root: the folders its command line names, left unread, and why.
  std::string withheld;
};

std::vector<RunningBrowser> runningBrowsers();

// The value of `name` in "NAME=value" entries; nullptr when it is not set.
const char* entryValue(const std::vector<std::string>& entries, std::string_view name);

// The browser whose main process runs `executable` with `commandLine`, or
// nothing for any other process (a browser's helper processes included).
std::optional<RunningBrowser> browserIn(const std::string& executable,
                                        const std::vector<std::string>& commandLine,
                                        setup::Platform platform);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_RUNNING_BROWSERS_H_
