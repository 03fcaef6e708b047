#ifndef OSTREL_SETUP_INSTALLED_EXTENSIONS_H_
#define OSTREL_SETUP_INSTALLED_EXTENSIONS_H_

// The extensions installed in a browser's profiles, read from the
// browser's own files: for the Chromium family each profile folder's
// "Preferences" and "Secure Preferences" (unpacked extensions included,
// their own manifest.json read for their permissions), for Firefox
// "profiles.ini" and each profile's "extensions.json" and "extensions"
// folder, in every layout Firefox uses. Reads only, each file once and at most readWholeFile's
// bound, and never a file of a profile that is not there; a file it cannot
// read or parse is named in the profile's `unread`.

#include <optional>
#include <string>
#include <vector>

#include "browsers.h"

namespace ostrel::setup {

struct InstalledExtension {
  std::string id;    // Chromium: 32 letters a-p; Firefox: the add-on id
  std::string name;  // empty when the files do not say
  bool unpacked = false;
  // Switched off by the user or the browser: it cannot connect.
  bool disabled = false;
  // Whether it holds the "nativeMessaging" permission; nothing when the
  // files do not say.
  std::optional<bool> nativeMessaging;
  // The file it was read from.
  std::string file;
  // Loaded unpacked without a "key": Chromium made its id from its
  // folder's path.
  bool idFromFolder = false;
};

struct Profile {
  std::string folder;
  std::vector<InstalledExtension> extensions;
  // The browser's files there that could not be read or parsed, with why
  // ("PATH is larger than 16 MiB, ..."): what they hold is not known.
  std::vector<std::string> unread;
};

// The folders that hold the browser's profiles: the Chromium family's
// configuration folder (the parent of its per-user manifest folder), or
// Firefox's: ~/.mozilla/firefox and, for profiles made by newer releases,
// $XDG_CONFIG_HOME/mozilla/firefox on Linux;
// ~/Library/Application Support/Firefox on macOS.
std::vector<std::string> profilesRoots(const Browser& browser, const Environment& environment);

// The permissions ("permissions") an unpacked extension's manifest.json
// asks for; nothing when it cannot be read.
std::optional<std::vector<std::string>> manifestPermissions(const std::string& extensionFolder);

// Every profile below `root` of a browser of `family`; for the Chromium
// family `root` may itself be a --user-data-dir folder.
std::vector<Profile> findProfiles(Family family, const std::string& root);

// The one profile in `folder` (a Chromium-family profile folder such as
// "Default", or a Firefox profile); nothing when there is none.
std::optional<Profile> profileAt(Family family, const std::string& folder);

// Whether `folder` looks like a Chromium-family user data folder: it holds
// "Local State" or a profile folder with "Preferences".
bool looksLikeUserDataFolder(const std::string& folder);

// The number of single-letter edits that turn `a` into `b`, or `most` + 1
// when it is more than `most` (found without computing it whole).
std::size_t editDistance(std::string_view a, std::string_view b, std::size_t most);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_INSTALLED_EXTENSIONS_H_
