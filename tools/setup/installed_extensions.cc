#include "installed_extensions.h"

#include <dirent.h>
#include <simdjson.h>

#include <algorithm>
#include <memory>
#include <set>

#include "files.h"
#include "tools/common/paths.h"

namespace ostrel::setup {
namespace {

// Firefox's own add-ons, which no user installed.
bool isBuiltIn(std::string_view location) {
  return location == "app-builtin" || location == "app-system-defaults" ||
         location == "app-system-addons" || location == "app-system-share" ||
         location == "app-system-local";
}

std::vector<std::string> subfolders(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && isDirectory(joinPath(folder, name))) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<simdjson::dom::element> parseFile(simdjson::dom::parser& parser,
                                                const std::string& path) {
  FileContents contents = readWholeFile(path);
  if (contents.state != FileState::kPresent) return std::nullopt;
  simdjson::dom::element root;
  if (parser.parse(simdjson::padded_string(contents.text)).get(root) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  return root;
}

std::string stringAt(simdjson::dom::element element, std::string_view pointer) {
  std::string_view value;
  if (element.at_pointer(pointer).get_string().get(value) != simdjson::SUCCESS) return {};
  return std::string(value);
}

// The ids under extensions.settings of one preferences file.
void addChromiumExtensions(const std::string& path, std::vector<InstalledExtension>& into) {
  simdjson::dom::parser parser;
  std::optional<simdjson::dom::element> root = parseFile(parser, path);
  simdjson::dom::object settings;
  if (!root ||
      root->at_pointer("/extensions/settings").get_object().get(settings) != simdjson::SUCCESS) {
    return;
  }
  for (auto [key, value] : settings) {
    std::string id(key);
    if (std::any_of(into.begin(), into.end(),
                    [&](const InstalledExtension& known) { return known.id == id; })) {
      continue;
    }
    std::int64_t location = 0;
    if (value["location"].get_int64().get(location) != simdjson::SUCCESS) location = 0;
    // Chromium's location 4: loaded unpacked, from a folder.
    into.push_back(
        {.id = id, .name = stringAt(value, "/manifest/name"), .unpacked = location == 4});
  }
}

Profile chromiumProfile(const std::string& folder) {
  Profile profile{.folder = folder, .extensions = {}};
  addChromiumExtensions(joinPath(folder, "Secure Preferences"), profile.extensions);
  addChromiumExtensions(joinPath(folder, "Preferences"), profile.extensions);
  return profile;
}

std::vector<Profile> chromiumProfiles(const std::string& root) {
  std::vector<Profile> profiles;
  for (const std::string& name : subfolders(root)) {
    const std::string folder = joinPath(root, name);
    if (readWholeFile(joinPath(folder, "Preferences")).state == FileState::kPresent) {
      profiles.push_back(chromiumProfile(folder));
    }
  }
  return profiles;
}

Profile firefoxProfile(const std::string& folder) {
  Profile profile{.folder = folder, .extensions = {}};
  simdjson::dom::parser parser;
  std::optional<simdjson::dom::element> root =
      parseFile(parser, joinPath(folder, "extensions.json"));
  simdjson::dom::array addons;
  if (!root || root->at_key("addons").get_array().get(addons) != simdjson::SUCCESS) return profile;
  for (simdjson::dom::element addon : addons) {
    std::string id = stringAt(addon, "/id");
    if (id.empty() || stringAt(addon, "/type") != "extension" ||
        isBuiltIn(stringAt(addon, "/location"))) {
      continue;
    }
    bool temporary = stringAt(addon, "/location") == "temporary";
    profile.extensions.push_back(
        {.id = id, .name = stringAt(addon, "/defaultLocale/name"), .unpacked = temporary});
  }
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

std::string profilesRoot(const Browser& browser, const Environment& environment) {
  if (browser.family == Family::kFirefox) {
    return environment.platform == Platform::kLinux
               ? joinPath(environment.home, ".mozilla/firefox")
               : joinPath(environment.home, "Library/Application Support/Firefox");
  }
  return common::parentFolder(manifestFolder(browser, Scope::kUser, environment).value_or(""));
}

std::vector<Profile> findProfiles(Family family, const std::string& root) {
  return family == Family::kFirefox ? firefoxProfiles(root) : chromiumProfiles(root);
}

bool looksLikeUserDataFolder(const std::string& folder) {
  return readWholeFile(joinPath(folder, "Local State")).state == FileState::kPresent ||
         !chromiumProfiles(folder).empty();
}

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace ostrel::setup
