#ifndef OSTREL_DOCTOR_POLICIES_H_
#define OSTREL_DOCTOR_POLICIES_H_

// The enterprise policies by which a Chromium-family browser switches
// native messaging off or restricts it, read from the files the browser
// reads: on Linux every file of its policies/managed folder (in name order,
// a later file winning), on macOS its managed preferences
// (/Library/Managed Preferences/[USER/]BUNDLE-ID.plist, XML form). Only
// mandatory policies count: the browser takes these four from no
// recommended source. Policies pushed from the cloud are not in files and
// cannot be seen here. Reads only, below the environment's system root.

#include <optional>
#include <string>
#include <vector>

#include "browsers.h"

namespace ostrel::doctor {

using setup::Browser;
using setup::Environment;

// A policy's value and the file it came from.
template <typename T>
struct PolicyValue {
  T value{};
  std::string file;
};

struct NativeMessagingPolicies {
  std::optional<PolicyValue<std::vector<std::string>>> blocklist;
  std::optional<PolicyValue<std::vector<std::string>>> allowlist;
  std::optional<PolicyValue<bool>> userLevelHosts;
  // ExtensionSettings: for each extension id, or "*" for every extension,
  // whether its blocked_permissions hold "nativeMessaging".
  std::optional<PolicyValue<std::vector<std::pair<std::string, bool>>>> blockedPermission;
  std::vector<std::string> folders;  // where the browser reads them, for the report
  // Files present but not read, and why: the browser skips them too.
  std::vector<std::string> unreadable;
  // These policies set where the browser ignores them (recommended).
  std::vector<std::string> ignored;
};

// The browser's policies; empty for a browser of the Firefox family.
NativeMessagingPolicies readPolicies(const Browser& browser, const Environment& environment);

// Why the policies keep the browser from starting host `name` at all, in
// words naming the policy and its file; nothing when they do not.
std::optional<std::string> hostBlockedBy(const NativeMessagingPolicies& policies,
                                         const std::string& name);

// Why the policies keep extension `id` from loading with the
// nativeMessaging permission; nothing when they do not.
std::optional<std::string> permissionBlockedBy(const NativeMessagingPolicies& policies,
                                               const std::string& id);

// Why per-user manifests are ignored; nothing when they are read.
std::optional<std::string> userLevelHostsOffBy(const NativeMessagingPolicies& policies);

// Where the browser shows every policy, the cloud's included.
std::string policyPage(const Browser& browser);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_POLICIES_H_
