#ifndef OSTREL_SETUP_INSTALLED_EXTENSIONS_H_
#define OSTREL_SETUP_INSTALLED_EXTENSIONS_H_

// The extensions installed in a browser's profiles, read from the
// browser's own files: for the Chromium family each profile folder's
// "Preferences" and "Secure Preferences" (unpacked extensions included),
// for Firefox "profiles.ini" and each profile's "extensions.json". Reads
// only, and never a file of a profile that is not there; a file it cannot
// parse is passed over.

#include <optional>
#include <string>
#include <vector>

#include "browsers.h"

namespace ostrel::setup {

struct InstalledExtension {
  std::string id;    // Chromium: 32 letters a-p; Firefox: the add-on id
  std::string name;  // empty when the files do not say
  bool unpacked = false;
};

struct Profile {
  std::string folder;
  std::vector<InstalledExtension> extensions;
};

// The folder that holds the browser's profiles: the Chromium family's
// configuration folder (the parent of its per-user manifest folder), or
// Firefox's ~/.mozilla/firefox.
std::string profilesRoot(const Browser& browser, const Environment& environment);

// Every profile below `root` of a browser of `family`; for the Chromium
// family `root` may itself be a --user-data-dir folder.
std::vector<Profile> findProfiles(Family family, const std::string& root);

// Whether `folder` looks like a Chromium-family user data folder: it holds
// "Local State" or a profile folder with "Preferences".
bool looksLikeUserDataFolder(const std::string& folder);

// The number of single-letter edits that turn `a` into `b`.
std::size_t editDistance(const std::string& a, const std::string& b);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_INSTALLED_EXTENSIONS_H_
