#ifndef OSTREL_DOCTOR_VERDICT_H_
#define OSTREL_DOCTOR_VERDICT_H_

// Whether a browser will start the host for one extension, decided as the
// browser decides it, step by step: its policies, the manifest it picks
// (Chromium: the per-user one when there is one and policy allows it,
// else the system-wide one; Firefox: the first that loads and lists the
// add-on), that manifest by the browser's own rules, the host file, and
// the extension itself (installed, enabled, holding the nativeMessaging
// permission). Where the browser runs now, it is judged as that browser
// sees the machine: below its own home folder (a browser started without
// HOME takes the password database's), with its own profile folder.

#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "fixes.h"
#include "installed_extensions.h"
#include "manifest.h"
#include "running_browsers.h"

namespace ostrel::doctor {

struct Verdict {
  bool yes = false;
  std::string reason;                 // when not: the first reason, in words naming the cause
  std::string file;                   // the file the reason is about
  Fix fix;                            // what mends it
  std::vector<std::string> warnings;  // what does not stop it, but may surprise
  std::vector<std::string> notes;     // what was assumed, and where the host looks
  // When yes: the manifest the browser uses, and its host.
  std::string manifestPath;
  std::optional<setup::Manifest> manifest;
};

struct Question {
  const setup::Browser* browser = nullptr;
  std::string id;  // Chromium: the 32-letter id, lower-cased; Firefox: the add-on id
  std::optional<std::string> userDataDir;
};

// The browser's whole verdict on the question, and then the host the
// browser would start, started so (see host_check.h): "yes" only when the
// browser starts it and it works and looks where the application answers
// (or only the application is not running now). `running` are the
// browsers running now: their profiles and the extensions they were told
// to load are looked at too, and a running browser of the question's that
// reads below another home folder than this process's (one started
// without HOME) is judged by that folder.
Verdict checkExtension(const setup::Context& context, const Question& question,
                       const std::vector<RunningBrowser>& running);

// The folders a running browser reads by: `base` with the browser's own
// home folder and configuration home, where its environment tells them.
setup::Environment worldOf(const RunningBrowser& browser, const setup::Environment& base);

// A running Chromium-family browser's own profile folder; empty when it
// uses its browser's default one (given as --user-data-dir or not).
std::string ownUserDataDir(const RunningBrowser& browser, const setup::Environment& base);

// The extensions a running browser was told to load (--load-extension),
// each read from its folder; those whose id or manifest cannot be read
// are left out.
std::vector<setup::InstalledExtension> loadedExtensions(const RunningBrowser& browser);

// The profiles `browser` reads with the profile folder `userDataDir` (or
// its default ones): below that folder, and what a running instance of it
// that uses that folder shows beyond it (the extensions it was told to
// load, as a profile named "--load-extension of PROGRAM (pid N)", and
// Firefox's -profile).
std::vector<setup::Profile> profilesFor(const setup::Context& context,
                                        const setup::Browser& browser,
                                        const std::optional<std::string>& userDataDir,
                                        const std::vector<RunningBrowser>& running);

// The extension's origin for the Chromium family, the id itself for Firefox.
std::string allowedFormOf(setup::Family family, const std::string& id);

// The lower-cased extension id an allowed entry or --origin value names,
// the Firefox id as it is; empty when it names none.
std::string idOf(setup::Family family, const std::string& allowed);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_VERDICT_H_
