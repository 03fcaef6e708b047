#ifndef OSTREL_SETUP_BROWSER_PRESENCE_H_
#define OSTREL_SETUP_BROWSER_PRESENCE_H_

// Tells whether a browser looks installed for the user running the tool:
// its configuration folder exists, or its program is on PATH (Linux) or in
// an Applications folder (macOS). Only looks; changes nothing. A browser
// can be installed without either sign (a copy unpacked anywhere), which is
// why naming it with --browser installs for it regardless.

#include <optional>
#include <string>

#include "browsers.h"

namespace ostrel::setup {

// The first sign found (a folder or a program's path), or nothing.
std::optional<std::string> installationSign(const Browser& browser, const Environment& environment);

// Where installationSign looked, for a message saying it found nothing.
std::string installationPlaces(const Browser& browser, const Environment& environment);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_BROWSER_PRESENCE_H_
