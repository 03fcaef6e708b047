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
constexpr std::string_view kInstallBlocklist = "ExtensionInstallBlocklist";
constexpr std::string_view kInstallAllowlist = "ExtensionInstallAllowlist";
constexpr std::string_view kPermission = "nativeMessaging";

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

std::optional<PolicyValue<std::vector<std::string>>> listIn(const JsonValue& root,
                                                            std::string_view name,
                                                            const std::string& file) {
  const JsonValue* value = root.find(name);
  if (value == nullptr || value->type != JsonValue::Type::kArray) return std::nullopt;
  return PolicyValue<std::vector<std::string>>{strings(*value), file};
}

std::vector<ExtensionEntry> extensionEntries(const JsonValue& settings) {
  std::vector<ExtensionEntry> entries;
  for (const auto& [id, entry] : settings.members()) {
    ExtensionEntry taken{
        .id = std::string(id), .mode = std::nullopt, .blocksNativeMessaging = std::nullopt};
    if (const JsonValue* mode = entry.find("installation_mode"); mode && mode->isString()) {
      taken.mode = std::string(mode->text());
    }
    if (const JsonValue* blocked = entry.find("blocked_permissions"); blocked != nullptr) {
      const std::vector<std::string> names = strings(*blocked);
      taken.blocksNativeMessaging =
          std::find(names.begin(), names.end(), kPermission) != names.end();
    }
    entries.push_back(std::move(taken));
  }
  return entries;
}

// Takes the policies from one file's top-level object; a later call
// overrides what an earlier one set.
void take(const JsonValue& root, const std::string& file, NativeMessagingPolicies& policies) {
  auto keep = [](auto& into, auto found) {
    if (found) into = std::move(found);
  };
  keep(policies.blocklist, listIn(root, kBlocklist, file));
  keep(policies.allowlist, listIn(root, kAllowlist, file));
  keep(policies.installBlocklist, listIn(root, kInstallBlocklist, file));
  keep(policies.installAllowlist, listIn(root, kInstallAllowlist, file));
  if (const JsonValue* value = root.find(kUserLevel);
      value != nullptr && value->type == JsonValue::Type::kBool) {
    policies.userLevelHosts = {{value->boolean, file}};
  }
  if (const JsonValue* value = root.find(kExtensionSettings);
      value != nullptr && value->type == JsonValue::Type::kObject) {
    policies.extensions = {{extensionEntries(*value), file}};
  }
}

void noteRecommended(const JsonValue& root, const std::string& file,
                     NativeMessagingPolicies& policies) {
  for (std::string_view name : {kBlocklist, kAllowlist, kUserLevel, kExtensionSettings,
                                kInstallBlocklist, kInstallAllowlist}) {
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
    JsonReading reading = readJson(contents.text, kChromiumPolicyJson);
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
  if (browser.family != setup::Family::kChromium) return policies;
  if (environment.platform == Platform::kLinux) {
    const std::string folder = environment.systemRoot + std::string(browser.linuxPolicies);
    readFolder(joinPath(folder, "managed"), true, policies);
    readFolder(joinPath(folder, "recommended"), false, policies);
    return policies;
  }
  const std::string managed = environment.systemRoot + "/Library/Managed Preferences";
  const std::string file = std::string(browser.macPolicyDomain) + ".plist";
  const char* user = std::getenv("USER");
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

std::optional<std::string> extensionBlockedBy(const NativeMessagingPolicies& policies,
                                              const std::string& id, bool unpacked) {
  const std::string which = id == "*" ? "every extension (\"*\")" : "the extension " + id;
  // Each policy's words, for "*" and for the extension, where it blocks.
  std::optional<std::string> all;
  std::optional<std::string> own;
  std::optional<bool> ownAllowed;  // the extension's own entry says, either way
  if (policies.extensions) {
    const std::string in =
        "the policy " + std::string(kExtensionSettings) + inFile(policies.extensions->file) + " ";
    for (const ExtensionEntry& entry : policies.extensions->value) {
      if (entry.id != "*" && entry.id != id) continue;
      std::optional<std::string>& words = entry.id == "*" ? all : own;
      if (entry.blocksNativeMessaging == true) {
        words = in;
        *words += "lists \"nativeMessaging\" among the blocked_permissions of " + which;
        *words += ", so the browser does not load an extension that asks for it";
      }
      if (entry.mode == "blocked" || entry.mode == "removed") {
        words = in + "sets the installation_mode of " +
                (entry.id == "*" ? std::string("every extension (\"*\")") : which) + " to \"" +
                *entry.mode + "\"";
      }
      if (entry.id != "*" && entry.mode) ownAllowed = !own;
    }
  }
  if (policies.installBlocklist) {
    const auto& blocked = policies.installBlocklist->value;
    const auto& allowed =
        policies.installAllowlist ? policies.installAllowlist->value : std::vector<std::string>{};
    const std::string in = "the policy " + std::string(kInstallBlocklist) +
                           inFile(policies.installBlocklist->file) + " blocks ";
    if (std::find(blocked.begin(), blocked.end(), "*") != blocked.end() && !all) {
      all = in + "every extension (\"*\")";
    }
    if (id != "*" && std::find(blocked.begin(), blocked.end(), id) != blocked.end()) {
      own = in + which;
    } else if (std::find(allowed.begin(), allowed.end(), id) != allowed.end()) {
      ownAllowed = ownAllowed.value_or(true);
    }
  }
  if (own) return *own + ", so the browser does not load it";
  // Blocked by default, the browser loads no unpacked extension at all,
  // whatever the extension's own entry says.
  if (all && unpacked) {
    return *all +
           ", so the browser loads no unpacked extension, whatever its own entry says: "
           "\"Loading of unpacked extensions is disabled by the administrator.\"";
  }
  if (all && !ownAllowed.value_or(false)) return *all + ", so the browser does not load " + which;
  return std::nullopt;
}

std::optional<std::string> userLevelHostsOffBy(const NativeMessagingPolicies& policies) {
  if (!policies.userLevelHosts || policies.userLevelHosts->value) return std::nullopt;
  return "the policy " + std::string(kUserLevel) + inFile(policies.userLevelHosts->file) +
         " is false, so the browser reads no per-user manifest, only system-wide ones";
}

}  // namespace ostrel::doctor
