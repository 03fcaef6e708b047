#include "installed_extensions.h"

#include <dirent.h>
#include <simdjson.h>

#include <algorithm>
#include <memory>
#include <set>
#include <unordered_set>

#include "files.h"
#include "tools/common/paths.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

// Firefox's own add-ons, which no user installed.
// (app-builtin, app-builtin-addons, app-system-defaults, and the like).
bool isBuiltIn(std::string_view location) {
  return location.starts_with("app-builtin") || location.starts_with("app-system");
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> subfolders(const std::string& folder) {
  std::vector<std::string> names = entries(folder);
  std::erase_if(names,
                [&](const std::string& name) { return !isDirectory(joinPath(folder, name)); });
  return names;
}

std::optional<simdjson::dom::element> parseText(simdjson::dom::parser& parser,
                                                const std::string& text) {
  simdjson::dom::element root;
  if (parser.parse(simdjson::padded_string(text)).get(root) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  return root;
}

// The file's JSON; nothing when it is missing, or, said in `unread`, when
// it is there but cannot be read or parsed.
std::optional<simdjson::dom::element> parseFile(simdjson::dom::parser& parser,
                                                const std::string& path,
                                                std::vector<std::string>& unread) {
  FileContents contents = readWholeFile(path);
  if (contents.state == FileState::kMissing) return std::nullopt;
  std::optional<simdjson::dom::element> root;
  if (contents.state == FileState::kPresent) root = parseText(parser, contents.text);
  if (!root) {
    unread.push_back(path + " " +
                     (contents.reason.empty() ? "is not valid JSON" : "is " + contents.reason));
  }
  return root;
}

std::string stringAt(simdjson::dom::element element, std::string_view pointer) {
  std::string_view value;
  if (element.at_pointer(pointer).get_string().get(value) != simdjson::SUCCESS) return {};
  return std::string(value);
}

// Whether the list at `pointer` holds `wanted`; nothing when there is no
// such list.
std::optional<bool> listHolds(simdjson::dom::element element, std::string_view pointer,
                              std::string_view wanted) {
  simdjson::dom::array list;
  if (element.at_pointer(pointer).get_array().get(list) != simdjson::SUCCESS) return std::nullopt;
  for (simdjson::dom::element item : list) {
    std::string_view value;
    if (item.get_string().get(value) == simdjson::SUCCESS && value == wanted) return true;
  }
  return false;
}

constexpr std::string_view kNativeMessaging = "nativeMessaging";

// Chromium records why an extension is off in "disable_reasons" (a number
// of bits, or a list of them in newer releases) and, in older ones, a
// "state" of 0.
bool chromiumDisabled(simdjson::dom::element settings) {
  std::int64_t reasons = 0;
  if (settings["disable_reasons"].get_int64().get(reasons) == simdjson::SUCCESS && reasons != 0) {
    return true;
  }
  simdjson::dom::array list;
  if (settings["disable_reasons"].get_array().get(list) == simdjson::SUCCESS && list.size() > 0) {
    return true;
  }
  std::int64_t state = 1;
  return settings["state"].get_int64().get(state) == simdjson::SUCCESS && state == 0;
}

// The ids under extensions.settings of one preferences file, each once.
void addChromiumExtensions(const std::string& path, Profile& profile,
                           std::unordered_set<std::string>& known) {
  std::vector<InstalledExtension>& into = profile.extensions;
  simdjson::dom::parser parser;
  std::optional<simdjson::dom::element> root = parseFile(parser, path, profile.unread);
  simdjson::dom::object settings;
  if (!root ||
      root->at_pointer("/extensions/settings").get_object().get(settings) != simdjson::SUCCESS) {
    return;
  }
  for (auto [key, value] : settings) {
    std::string id(key);
    if (!known.insert(id).second) continue;
    std::int64_t location = 0;
    if (value["location"].get_int64().get(location) != simdjson::SUCCESS) location = 0;
    // Chromium's location 4: loaded unpacked, from a folder.
    InstalledExtension extension{.id = id,
                                 .name = stringAt(value, "/manifest/name"),
                                 .unpacked = location == 4,
                                 .disabled = chromiumDisabled(value),
                                 .nativeMessaging = std::nullopt,
                                 .file = path,
                                 .idFromFolder = false};
    extension.nativeMessaging = listHolds(value, "/active_permissions/api", kNativeMessaging);
    if (!extension.nativeMessaging) {
      extension.nativeMessaging = listHolds(value, "/manifest/permissions", kNativeMessaging);
    }
    if (!extension.nativeMessaging && extension.unpacked) {
      if (auto permissions = manifestPermissions(stringAt(value, "/path"))) {
        extension.nativeMessaging = std::find(permissions->begin(), permissions->end(),
                                              kNativeMessaging) != permissions->end();
      }
    }
    into.push_back(std::move(extension));
  }
}

// A profile folder holds "Preferences"; it is read once, here.
std::optional<Profile> chromiumProfile(const std::string& folder) {
  if (readWholeFile(joinPath(folder, "Preferences"), 0).state == FileState::kMissing) {
    return std::nullopt;
  }
  Profile profile{.folder = folder, .extensions = {}, .unread = {}};
  std::unordered_set<std::string> known;
  addChromiumExtensions(joinPath(folder, "Secure Preferences"), profile, known);
  addChromiumExtensions(joinPath(folder, "Preferences"), profile, known);
  return profile;
}

std::vector<Profile> chromiumProfiles(const std::string& root) {
  std::vector<Profile> profiles;
  for (const std::string& name : subfolders(root)) {
    if (std::optional<Profile> profile = chromiumProfile(joinPath(root, name))) {
      profiles.push_back(std::move(*profile));
    }
  }
  return profiles;
}

// The add-ons in the profile's own extensions folder, each named by its
// id: a packed ID.xpi, an unpacked folder ID, or a file ID that holds the
// path of its folder. Firefox installs them at its next start and records
// them in extensions.json a while after; those not recorded yet are added
// here, their permission read where they are unpacked.
void addProfileFolderAddons(const std::string& folder, Profile& profile) {
  const std::string extensions = joinPath(folder, "extensions");
  for (std::string name : entries(extensions)) {
    const std::string path = joinPath(extensions, name);
    std::string unpackedAt;
    if (name.ends_with(".xpi")) {
      name.resize(name.size() - 4);
    } else if (isDirectory(path)) {
      unpackedAt = path;
    } else if (FileContents proxy = readWholeFile(path, 4096); proxy.state == FileState::kPresent) {
      unpackedAt = proxy.text.substr(0, proxy.text.find_first_of("\r\n"));
    }
    const bool known =
        std::any_of(profile.extensions.begin(), profile.extensions.end(),
                    [&](const InstalledExtension& added) { return added.id == name; });
    if (known || checkFirefoxExtensionId(name)) continue;
    std::optional<bool> permission;
    if (auto permissions = manifestPermissions(unpackedAt)) {
      permission = std::find(permissions->begin(), permissions->end(), kNativeMessaging) !=
                   permissions->end();
    }
    profile.extensions.push_back({.id = name,
                                  .name = {},
                                  .unpacked = !unpackedAt.empty(),
                                  .disabled = false,
                                  .nativeMessaging = permission,
                                  .file = path,
                                  .idFromFolder = false});
  }
}

Profile firefoxProfile(const std::string& folder) {
  Profile profile{.folder = folder, .extensions = {}, .unread = {}};
  simdjson::dom::parser parser;
  const std::string path = joinPath(folder, "extensions.json");
  std::optional<simdjson::dom::element> root = parseFile(parser, path, profile.unread);
  simdjson::dom::array addons;
  if (root && root->at_key("addons").get_array().get(addons) == simdjson::SUCCESS) {
    for (simdjson::dom::element addon : addons) {
      std::string id = stringAt(addon, "/id");
      if (id.empty() || stringAt(addon, "/type") != "extension" ||
          isBuiltIn(stringAt(addon, "/location"))) {
        continue;
      }
      // Switched off by the user, or by Firefox itself (a blocklist, a
      // missing signature); "active" is no sign of it: a newly installed
      // add-on is recorded inactive until it has started.
      bool disabled = false;
      for (const char* reason : {"userDisabled", "appDisabled", "softDisabled"}) {
        bool set = false;
        disabled = disabled || (addon[reason].get_bool().get(set) == simdjson::SUCCESS && set);
      }
      std::optional<bool> permission =
          listHolds(addon, "/userPermissions/permissions", kNativeMessaging);
      profile.extensions.push_back({.id = id,
                                    .name = stringAt(addon, "/defaultLocale/name"),
                                    .unpacked = stringAt(addon, "/location") == "app-temporary",
                                    .disabled = disabled,
                                    .nativeMessaging = permission,
                                    .file = path,
                                    .idFromFolder = false});
    }
  }
  addProfileFolderAddons(folder, profile);
  return profile;
}

// profiles.ini: [ProfileN] sections with Path= (relative to the root when
// IsRelative=1).
std::vector<Profile> firefoxProfiles(const std::string& root) {
  std::vector<Profile> profiles;
  FileContents ini = readWholeFile(joinPath(root, "profiles.ini"));
  if (ini.state != FileState::kPresent) return profiles;
  std::set<std::string> seen;
  std::string path;
  bool relative = true;
  bool inProfile = false;
  auto finish = [&] {
    if (inProfile && !path.empty()) {
      std::string folder = relative ? joinPath(root, path) : path;
      if (seen.insert(folder).second && isDirectory(folder)) {
        profiles.push_back(firefoxProfile(folder));
      }
    }
    path.clear();
    relative = true;
  };
  std::size_t start = 0;
  while (start <= ini.text.size()) {
    std::size_t end = ini.text.find('\n', start);
    if (end == std::string::npos) end = ini.text.size();
    std::string line = ini.text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with('[')) {
      finish();
      inProfile = line.starts_with("[Profile");
    } else if (line.starts_with("Path=")) {
      path = line.substr(5);
    } else if (line.starts_with("IsRelative=")) {
      relative = line.substr(11) != "0";
    }
  }
  finish();
  return profiles;
}

}  // namespace

std::vector<std::string> profilesRoots(const Browser& browser, const Environment& environment) {
  if (browser.family == Family::kFirefox) {
    if (environment.platform != Platform::kLinux) {
      return {joinPath(environment.home, "Library/Application Support/Firefox")};
    }
    return {joinPath(environment.home, ".mozilla/firefox"),
            joinPath(environment.configHome, "mozilla/firefox")};
  }
  return {common::parentFolder(manifestFolder(browser, Scope::kUser, environment).value_or(""))};
}

std::optional<std::vector<std::string>> manifestPermissions(const std::string& extensionFolder) {
  if (extensionFolder.empty()) return std::nullopt;
  FileContents contents = readWholeFile(joinPath(extensionFolder, "manifest.json"));
  if (contents.state != FileState::kPresent) return std::nullopt;
  simdjson::dom::parser parser;
  std::optional<simdjson::dom::element> root = parseText(parser, contents.text);
  simdjson::dom::array list;
  if (!root || root->at_key("permissions").get_array().get(list) != simdjson::SUCCESS) {
    return std::vector<std::string>{};
  }
  std::vector<std::string> permissions;
  for (simdjson::dom::element item : list) {
    std::string_view value;
    if (item.get_string().get(value) == simdjson::SUCCESS) permissions.emplace_back(value);
  }
  return permissions;
}

std::vector<Profile> findProfiles(Family family, const std::string& root) {
  return family == Family::kFirefox ? firefoxProfiles(root) : chromiumProfiles(root);
}

std::optional<Profile> profileAt(Family family, const std::string& folder) {
  if (family == Family::kChromium) return chromiumProfile(folder);
  if (!isDirectory(folder)) return std::nullopt;
  return firefoxProfile(folder);
}

bool looksLikeUserDataFolder(const std::string& folder) {
  if (readWholeFile(joinPath(folder, "Local State"), 0).state != FileState::kMissing) return true;
  const std::vector<std::string> names = subfolders(folder);
  return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
    return readWholeFile(joinPath(joinPath(folder, name), "Preferences"), 0).state !=
           FileState::kMissing;
  });
}

std::size_t editDistance(std::string_view a, std::string_view b, std::size_t most) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > most) return most + 1;
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    std::size_t least = row[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
      least = std::min(least, row[j]);
    }
    // No later row is less than this one's least.
    if (least > most) return most + 1;
  }
  return std::min(row[b.size()], most + 1);
}

}  // namespace ostrel::setup
