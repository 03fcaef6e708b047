#include "policies.h"

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "files.h"
#include "json_reader.h"
#include "plist_reader.h"

namespace ostrel::doctor {
namespace {

using setup::FileContents;
using setup::FileState;
using setup::joinPath;
using setup::Platform;

constexpr std::string_view kBlocklist = "NativeMessagingBlocklist";
constexpr std::string_view kAllowlist = "NativeMessagingAllowlist";
constexpr std::string_view kUserLevel = "NativeMessagingUserLevelHosts";
constexpr std::string_view kExtensionSettings = "ExtensionSettings";
constexpr std::string_view kPermission = "nativeMessaging";

struct PolicyHome {
  std::string_view key;
  // Linux: the folder holding managed/ and recommended/, as each browser
  // sets it (Chromium's and Chrome's builds, Brave's and Edge's own
  // documentation; Vivaldi's as its packages' AppArmor rules name it).
  std::string_view linuxFolder;
  std::string_view bundleId;  // macOS managed preferences
  std::string_view policyPage;
};

constexpr PolicyHome kHomes[] = {
    {"chrome", "/etc/opt/chrome/policies", "com.google.Chrome", "chrome://policy"},
    {"chromium", "/etc/chromium/policies", "org.chromium.Chromium", "chrome://policy"},
    {"edge", "/etc/opt/edge/policies", "com.microsoft.Edge", "edge://policy"},
    {"brave", "/etc/brave/policies", "com.brave.Browser", "brave://policy"},
    {"vivaldi", "/etc/vivaldi/policies", "com.vivaldi.Vivaldi", "vivaldi://policy"},
};

const PolicyHome* homeOf(const Browser& browser) {
  for (const PolicyHome& home : kHomes) {
    if (home.key == browser.key) return &home;
  }
  return nullptr;
}

std::vector<std::string> fileNames(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> strings(const JsonValue& list) {
  std::vector<std::string> values;
  for (const JsonValue& item : list.items()) {
    if (item.isString()) values.emplace_back(item.text());
  }
  return values;
}

// Takes the four policies from one file's top-level object; a later call
// overrides what an earlier one set.
void take(const JsonValue& root, const std::string& file, NativeMessagingPolicies& policies) {
  if (const JsonValue* value = root.find(kBlocklist);
      value != nullptr && value->type == JsonValue::Type::kArray) {
    policies.blocklist = {{strings(*value), file}};
  }
  if (const JsonValue* value = root.find(kAllowlist);
      value != nullptr && value->type == JsonValue::Type::kArray) {
    policies.allowlist = {{strings(*value), file}};
  }
  if (const JsonValue* value = root.find(kUserLevel);
      value != nullptr && value->type == JsonValue::Type::kBool) {
    policies.userLevelHosts = {{value->boolean, file}};
  }
  if (const JsonValue* value = root.find(kExtensionSettings);
      value != nullptr && value->type == JsonValue::Type::kObject) {
    std::vector<std::pair<std::string, bool>> entries;
    for (const auto& [id, settings] : value->members()) {
      const JsonValue* blocked = settings.find("blocked_permissions");
      if (blocked == nullptr) continue;
      const std::vector<std::string> names = strings(*blocked);
      entries.emplace_back(id, std::find(names.begin(), names.end(), kPermission) != names.end());
    }
    policies.blockedPermission = {{std::move(entries), file}};
  }
}

void noteRecommended(const JsonValue& root, const std::string& file,
                     NativeMessagingPolicies& policies) {
  for (std::string_view name : {kBlocklist, kAllowlist, kUserLevel}) {
    if (root.find(name) != nullptr) {
      policies.ignored.push_back(std::string(name) + " in " + file +
                                 " (a recommended policy, which the browser ignores for it: only "
                                 "policies in the managed folder count)");
    }
  }
}

void readFolder(const std::string& folder, bool managed, NativeMessagingPolicies& policies) {
  for (const std::string& name : fileNames(folder)) {
    const std::string path = joinPath(folder, name);
    FileContents contents = setup::readWholeFile(path);
    if (contents.state == FileState::kMissing) continue;
    if (contents.state == FileState::kNotRegular && setup::isDirectory(path)) continue;
    if (contents.state != FileState::kPresent) {
      policies.unreadable.push_back(path + ": " + contents.reason);
      continue;
    }
    JsonReading reading =
        readJson(contents.text, {.allowTrailingCommas = true, .requireUtf8 = true});
    if (!reading.value || reading.value->type != JsonValue::Type::kObject) {
      policies.unreadable.push_back(
          path + ": " + (reading.value ? "not a JSON object" : "not valid JSON: " + reading.error));
      continue;
    }
    if (managed) {
      take(*reading.value, path, policies);
    } else {
      noteRecommended(*reading.value, path, policies);
    }
  }
}

void readManagedPreferences(const std::string& path, NativeMessagingPolicies& policies) {
  FileContents contents = setup::readWholeFile(path);
  if (contents.state == FileState::kMissing) return;
  if (contents.state != FileState::kPresent) {
    policies.unreadable.push_back(path + ": " + contents.reason);
    return;
  }
  PlistReading reading = readPlist(contents.text);
  if (!reading.value) {
    policies.unreadable.push_back(path + ": " + reading.error);
    return;
  }
  take(*reading.value, path, policies);
}

std::string inFile(const std::string& file) { return " in " + file; }

}  // namespace

NativeMessagingPolicies readPolicies(const Browser& browser, const Environment& environment) {
  NativeMessagingPolicies policies;
  const PolicyHome* home = homeOf(browser);
  if (home == nullptr) return policies;
  if (environment.platform == Platform::kLinux) {
    const std::string folder = environment.systemRoot + std::string(home->linuxFolder);
    policies.folders.push_back(joinPath(folder, "managed"));
    readFolder(joinPath(folder, "managed"), true, policies);
    readFolder(joinPath(folder, "recommended"), false, policies);
    return policies;
  }
  const std::string managed = environment.systemRoot + "/Library/Managed Preferences";
  const std::string file = std::string(home->bundleId) + ".plist";
  const char* user = std::getenv("USER");
  policies.folders.push_back(managed);
  // The machine's first; the user's, read last, wins.
  readManagedPreferences(joinPath(managed, file), policies);
  if (user != nullptr && *user != '\0' && std::string_view(user).find('/') == std::string::npos) {
    readManagedPreferences(joinPath(joinPath(managed, user), file), policies);
  }
  return policies;
}

std::optional<std::string> hostBlockedBy(const NativeMessagingPolicies& policies,
                                         const std::string& name) {
  if (!policies.blocklist) return std::nullopt;
  const std::vector<std::string>& blocked = policies.blocklist->value;
  const bool all = std::find(blocked.begin(), blocked.end(), "*") != blocked.end();
  const bool named = std::find(blocked.begin(), blocked.end(), name) != blocked.end();
  if (!all && !named) return std::nullopt;
  if (policies.allowlist) {
    const std::vector<std::string>& allowed = policies.allowlist->value;
    if (std::find(allowed.begin(), allowed.end(), name) != allowed.end()) return std::nullopt;
  }
  std::string why =
      "the policy " + std::string(kBlocklist) + inFile(policies.blocklist->file) +
      (all ? " blocks every native messaging host (\"*\")" : " blocks the host " + name) +
      ", and " +
      (policies.allowlist
           ? std::string(kAllowlist) + inFile(policies.allowlist->file) + " does not name " + name
           : "no " + std::string(kAllowlist) + " names " + name) +
      "; the browser says \"Access to the native messaging host was disabled by the "
      "system administrator.\"";
  return why;
}

std::optional<std::string> permissionBlockedBy(const NativeMessagingPolicies& policies,
                                               const std::string& id) {
  if (!policies.blockedPermission) return std::nullopt;
  // The extension's own entry decides where it names blocked_permissions;
  // otherwise the entry for every extension does.
  std::optional<bool> own;
  std::optional<bool> everyone;
  for (const auto& [key, blocks] : policies.blockedPermission->value) {
    if (key == id) own = blocks;
    if (key == "*") everyone = blocks;
  }
  const bool blocks = own.value_or(everyone.value_or(false));
  if (!blocks) return std::nullopt;
  return "the policy " + std::string(kExtensionSettings) +
         inFile(policies.blockedPermission->file) +
         " lists \"nativeMessaging\" among the "
         "blocked_permissions " +
         (own ? "of the extension " + id : std::string("of every extension (\"*\")")) +
         ", so the browser does not load an extension that asks for it";
}

std::optional<std::string> userLevelHostsOffBy(const NativeMessagingPolicies& policies) {
  if (!policies.userLevelHosts || policies.userLevelHosts->value) return std::nullopt;
  return "the policy " + std::string(kUserLevel) + inFile(policies.userLevelHosts->file) +
         " is false, so the browser reads no per-user manifest, only system-wide ones";
}

std::string policyPage(const Browser& browser) {
  const PolicyHome* home = homeOf(browser);
  return home != nullptr ? std::string(home->policyPage) : "chrome://policy";
}

}  // namespace ostrel::doctor
