#ifndef OSTREL_E2E_ORACLE_H_
#define OSTREL_E2E_ORACLE_H_

// The browser as the judge of the doctor. A case sets up one user's world
// as the user would (the setup tool where it agrees, files written by hand
// where it rightly refuses), in a fresh HOME and profile and a private view
// of /etc and /usr; then the real browser runs the test extension there,
// and the doctor is asked, while the browser runs, whether this extension
// in this browser will reach the application. When the doctor prints a
// fix, the fix is run as printed and both are asked again.
//
// This only observes and records; what must agree is for the test to say.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "private_system.h"

namespace ostrel::e2e {

enum class Family { kChromium, kFirefox };

// What the browser did with the extension's connectNative.
enum class Outcome {
  kConnected,  // the extension received the host's status "connected"
  kUnreached,  // it received "unavailable": the host ran, the application was not reached
  kRefused,    // no status: the browser refused, or the extension never ran
};
const char* describe(Outcome outcome);

// The test extension's identity in each browser.
extern const char* const kChromiumOrigin;
extern const char* const kFirefoxId;

// One user's world, set up by a case before the browser starts.
struct Scene {
  Family family{};
  std::string home{};         // the user's HOME, empty at first
  std::string host{};         // the host program, as a user would name it
  PrivateSystem* system{};    // for files below /etc and /usr
  std::string extension{};    // Chromium: the unpacked extension to load
  std::string userDataDir{};  // Chromium: another --user-data-dir than the default
  std::string profile{};      // Firefox: the profile folder, with the add-on
  bool temporaryProfile{};    // Chromium: started without --user-data-dir
  std::vector<std::string> browserEnvironment{};  // starts as the user's own
  std::vector<std::string> rootOwned{};           // files below the home folder left to root
  bool rootApplication{};                         // the application runs as root, not as the user
  std::vector<std::string> question{};            // the doctor's options after "doctor"
  std::vector<std::vector<std::string>> setup{};  // setup tool commands, run inside in order
  // Run between a first run of the browser, which must connect, and the
  // judged one: what a user does in the browser itself.
  std::function<bool(Scene&)> betweenRuns{};

  // Writes `text` at `path`, with @HOST@ and @HOME@ replaced by the host's
  // path and the home folder; below /etc and /usr, in the private system.
  bool write(const std::string& path, std::string text, mode_t mode = 0644) const;
  // Chromium's profile folder: the user data dir given, or the default.
  std::string chromiumProfile() const;
  // Where the family's manifests of the host live, per user and system-wide.
  std::string userManifest() const;
  std::string systemManifest() const;
  // Registers the host with the setup tool, per user unless the options say.
  void install(std::vector<std::string> options);
  // The test extension with its manifest's `from` replaced by `to`: for
  // Chromium loaded unpacked, for Firefox placed unpacked in the profile.
  bool changeExtension(const std::string& from, const std::string& to);
  // Firefox: the profile below `layout` (".mozilla/firefox" or
  // ".config/mozilla/firefox"), listed in its profiles.ini, with the add-on.
  bool firefoxProfile(const std::string& layout);
};

struct Case {
  std::string name;
  Outcome measured;  // what the browser was seen to do
  // Words the doctor's first reason must hold when it says no; @HOME@ is
  // the home folder, @MANIFEST@ the per-user manifest.
  std::vector<std::string> words;
  std::function<bool(Scene&)> arrange;
};

struct BrowserRun {
  Outcome outcome = Outcome::kRefused;
  std::string extensionWords;  // what the extension was told, or why it said nothing
  std::string browserWords;    // the browser's own lines about native messaging
  double seconds = 0;          // from the start to the outcome
  std::string logTail;
};

struct Answer {
  int exitCode = -1;
  std::string output;
  std::string firstLine() const;
  // The first reason: from the first line up to a blank line or a fix.
  std::string reason() const;
  // The command after "fix: " on the first such line, if any.
  std::string fix() const;
};

struct Verdict {
  std::string skipped;  // why this case cannot run here
  std::string failure;  // why it could not be set up
  std::vector<std::string> words;
  BrowserRun browser;
  Answer answer;  // doctor --browser ... while the browser ran
  Answer report;  // doctor --json, at the same time
  Answer full;    // doctor, at the same time
  std::string fix;
  Answer fixRun;
  BrowserRun afterFix;
  Answer answerAfterFix;
};

// Sets the case up for a browser of `family`, runs the browser and the
// doctor, and the fix if any.
Verdict judge(Family family, const Case& row);

// `text` with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to);

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_ORACLE_H_
