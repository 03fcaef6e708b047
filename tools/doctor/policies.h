#ifndef OSTREL_DOCTOR_POLICIES_H_
#define OSTREL_DOCTOR_POLICIES_H_

// The enterprise policies by which a Chromium-family browser switches
// native messaging off or restricts it, or keeps an extension out, read
// from the files the browser reads (where the browsers' table says): on
// Linux every file of its policies/managed folder (in name order, a later
// file winning), on macOS its managed preferences
// (/Library/Managed Preferences/[USER/]DOMAIN.plist). Only mandatory
// policies count: the browser takes these from no recommended source. Policies pushed from the
// cloud are not in files and cannot be seen here. Reads only, below the environment's system root.

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

// One entry of ExtensionSettings: for an extension id, or "*" for every
// extension, its installation_mode and whether its blocked_permissions
// hold "nativeMessaging", where it says.
struct ExtensionEntry {
  std::string id;
  std::optional<std::string> mode;
  std::optional<bool> blocksNativeMessaging;
};

struct NativeMessagingPolicies {
  std::optional<PolicyValue<std::vector<std::string>>> blocklist;
  std::optional<PolicyValue<std::vector<std::string>>> allowlist;
  std::optional<PolicyValue<bool>> userLevelHosts;
  std::optional<PolicyValue<std::vector<ExtensionEntry>>> extensions;  // ExtensionSettings
  // ExtensionInstallBlocklist and ExtensionInstallAllowlist.
  std::optional<PolicyValue<std::vector<std::string>>> installBlocklist;
  std::optional<PolicyValue<std::vector<std::string>>> installAllowlist;
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

// Why the policies keep extension `id` ("*": any extension) from loading,
// or from loading with the nativeMessaging permission; nothing when they
// do not. An extension's own entry (in ExtensionSettings or the install
// lists) decides for it; the entry for "*" for the rest, but an
// `unpacked` one is not loaded at all while "*" is blocked (as measured
// with Chromium 156).
std::optional<std::string> extensionBlockedBy(const NativeMessagingPolicies& policies,
                                              const std::string& id, bool unpacked);

// Why per-user manifests are ignored; nothing when they are read.
std::optional<std::string> userLevelHostsOffBy(const NativeMessagingPolicies& policies);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_POLICIES_H_
