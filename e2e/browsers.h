#ifndef OSTREL_E2E_BROWSERS_H_
#define OSTREL_E2E_BROWSERS_H_

// What differs between the two browser families in the end-to-end test:
// where the program is, how a fresh profile loads the test extension
// without a click, how the setup tool registers the host for it, and which
// arguments the browser passes to the host. Nothing here starts a process.

#include <optional>
#include <string>
#include <vector>

namespace ostrel::e2e {

// One browser prepared for a run in a fresh folder that the test owns and
// that serves as the browser's HOME.
struct PreparedBrowser {
  std::vector<std::string> setupArguments;  // after "install"
  std::vector<std::string> command;         // the browser and its arguments
  std::vector<std::string> hostArguments;   // what it passes to the host
};

struct Browser {
  const char* name;      // for messages: "Chromium"
  const char* package;   // the Debian package that provides it
  const char* variable;  // names another program to run instead
  const char* program;   // looked up on PATH
  // Writes the profile into `folder` for the browser at `program`, whose
  // host is registered at `hostPath`. False (with `error` set) on failure.
  bool (*prepare)(const std::string& program, const std::string& folder,
                  const std::string& hostPath, PreparedBrowser& prepared, std::string& error);
};

// The headless command lines both tests run: Chromium with `extension`
// loaded unpacked and its console on standard error (headless, it keeps no
// profile of its own: without --user-data-dir, given as "", it takes a
// fresh temporary one each time); Firefox with `profile`.
std::vector<std::string> chromiumCommand(const std::string& program, const std::string& userDataDir,
                                         const std::string& extension);
std::vector<std::string> firefoxCommand(const std::string& program, const std::string& profile);
// Writes the profile's user.js: add-ons found in the profile are installed
// unsigned and enabled without a click, nothing reaches for the network,
// and the console is copied to standard output.
bool writeFirefoxPreferences(const std::string& profile);

extern const Browser kChromium;
extern const Browser kFirefox;

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_BROWSERS_H_
