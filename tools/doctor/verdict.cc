#include "verdict.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "extension_id.h"
#include "files.h"
#include "manifest_rules.h"
#include "package_manifest.h"
#include "policies.h"
#include "tools/common/paths.h"
#include "validation.h"

namespace ostrel::doctor {
namespace {

using setup::Browser;
using setup::Context;
using setup::Family;
using setup::FileContents;
using setup::FileState;
using setup::InstalledExtension;
using setup::Profile;
using setup::Scope;

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::string quotedWord(const std::string& word) { return setup::shellWords({word}); }

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

Verdict no(std::string reason, std::string file, std::string fix = {}) {
  Verdict verdict;
  verdict.reason = std::move(reason);
  verdict.file = std::move(file);
  verdict.fix = std::move(fix);
  return verdict;
}

std::string manifestName(const Context& context) {
  return setup::manifestFileName(context.options.name);
}

// The allowed entries of `manifest` that its browser accepts, plus `added`.
std::vector<std::string> keptAllowed(const setup::Manifest* manifest, Family family,
                                     const std::string& added) {
  std::vector<std::string> allowed;
  if (manifest != nullptr) {
    for (const std::string& entry : manifest->allowed) {
      const bool valid = family == Family::kChromium ? !setup::checkChromiumOrigin(entry)
                                                     : !setup::checkFirefoxExtensionId(entry);
      if (valid && std::find(allowed.begin(), allowed.end(), entry) == allowed.end()) {
        allowed.push_back(entry);
      }
    }
  }
  if (!added.empty() && std::find(allowed.begin(), allowed.end(), added) == allowed.end()) {
    allowed.push_back(added);
  }
  return allowed;
}

// The command that mends a manifest at `path` that the browser refuses or
// that does not allow the extension: install again, with force when this
// tool did not write it, and never for a manifest the package owns.
std::string rewriteCommand(const Context& context, const Question& question, Scope scope,
                           const std::optional<setup::Manifest>& manifest) {
  const Family family = question.browser->family;
  const bool packaged = manifest && setup::ownerOf(*manifest) == setup::ManifestOwner::kPackage;
  if (packaged) return {};
  const bool own = manifest && setup::isOwnManifest(*manifest);
  std::string hostPath = manifest ? manifest->path : std::string();
  if (hostPath.empty() || setup::checkHostPath(hostPath)) hostPath.clear();
  return installCommand(
      context, question.browser, question.userDataDir, scope,
      keptAllowed(manifest ? &*manifest : nullptr, family, allowedFormOf(family, question.id)),
      hostPath, !own);
}

// Why the host file named by a loaded manifest cannot be started, and the
// command that mends it.
std::optional<Verdict> hostFileFault(const std::string& manifestPath, const std::string& host) {
  if (!exists(host)) {
    return no("the host " + host + " that " + manifestPath + " names does not exist", manifestPath);
  }
  if (setup::Problem problem = setup::checkHostPath(host)) {
    struct stat info {};
    std::string fix;
    if (::stat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
      fix = std::string(info.st_uid != ::geteuid() && ::geteuid() != 0 ? "sudo " : "") +
            "chmod +x " + quotedWord(host);
    }
    return no(*problem, host, fix);
  }
  return std::nullopt;
}

struct Seen {
  InstalledExtension extension;
  std::string where;
};

// Where the extension is installed for this browser: its profiles, and
// the extension folders a running browser of it was told to load.
std::optional<Seen> findExtension(const Context& context, const Question& question,
                                  const std::vector<RunningBrowser>& running) {
  const Family family = question.browser->family;
  std::vector<std::string> roots;
  if (question.userDataDir) {
    roots.push_back(*question.userDataDir);
  } else {
    roots = setup::profilesRoots(*question.browser, context.environment);
  }
  for (const RunningBrowser& browser : running) {
    if (browser.browser == question.browser && !browser.userDataDir.empty() &&
        !question.userDataDir) {
      roots.push_back(browser.userDataDir);
    }
  }
  for (const std::string& root : roots) {
    for (const Profile& profile : setup::findProfiles(family, root)) {
      for (const InstalledExtension& extension : profile.extensions) {
        if (idOf(family, extension.id) == question.id) return Seen{extension, profile.folder};
      }
    }
  }
  if (family != Family::kChromium) return std::nullopt;
  for (const RunningBrowser& browser : running) {
    if (browser.browser != question.browser) continue;
    for (const std::string& folder : browser.loadedExtensions) {
      std::optional<std::vector<std::string>> permissions = setup::manifestPermissions(folder);
      setup::ExtensionIdReading reading = setup::extensionIdOfPath(folder);
      if (!permissions || !reading.id || *reading.id != question.id) continue;
      InstalledExtension extension{
          .id = *reading.id,
          .name = {},
          .unpacked = true,
          .disabled = false,
          .nativeMessaging = std::find(permissions->begin(), permissions->end(),
                                       "nativeMessaging") != permissions->end(),
          .file = setup::joinPath(folder, "manifest.json")};
      return Seen{extension, "--load-extension of " + browser.program + " (pid " +
                                 std::to_string(browser.pid) + ")"};
    }
  }
  return std::nullopt;
}

std::optional<Verdict> extensionFault(const Context& context, const Question& question,
                                      const std::vector<RunningBrowser>& running,
                                      std::vector<std::string>& warnings) {
  const Family family = question.browser->family;
  const std::string what =
      family == Family::kChromium ? "the extension " + question.id : "the add-on " + question.id;
  std::optional<Seen> seen = findExtension(context, question, running);
  if (!seen) {
    warnings.push_back(what + " was not found installed in any profile of " +
                       std::string(question.browser->displayName) +
                       " (it may be loaded when the browser starts)");
    return std::nullopt;
  }
  if (seen->extension.disabled) {
    return no(what + " is disabled in " + seen->where + " (" + seen->extension.file +
                  "); a disabled " + (family == Family::kChromium ? "extension" : "add-on") +
                  " cannot connect: enable it in " +
                  (family == Family::kChromium ? "chrome://extensions" : "about:addons"),
              seen->extension.file);
  }
  if (seen->extension.nativeMessaging == false) {
    return no(what + " lacks the \"nativeMessaging\" permission (" + seen->extension.file +
                  "), so connectNative is not a function for it; add \"nativeMessaging\" to "
                  "\"permissions\" in its manifest.json and reload it",
              seen->extension.file);
  }
  return std::nullopt;
}

Verdict judgeChromium(const Context& context, const Question& question,
                      const std::vector<RunningBrowser>& running) {
  const Browser& browser = *question.browser;
  const std::string name = context.options.name;
  NativeMessagingPolicies policies = readPolicies(browser, context.environment);
  if (auto why = hostBlockedBy(policies, name)) return no(*why, policies.blocklist->file);
  if (auto why = permissionBlockedBy(policies, question.id)) {
    return no(*why, policies.blockedPermission->file);
  }
  const std::string userFolder =
      question.userDataDir
          ? setup::userDataManifestFolder(*question.userDataDir)
          : setup::manifestFolder(browser, Scope::kUser, context.environment).value_or("");
  const std::optional<std::string> systemFolder =
      setup::manifestFolder(browser, Scope::kSystem, context.environment);
  const std::string userPath = setup::joinPath(userFolder, manifestName(context));
  const std::string systemPath =
      systemFolder ? setup::joinPath(*systemFolder, manifestName(context)) : std::string();
  const std::optional<std::string> userOff = userLevelHostsOffBy(policies);
  std::string chosen;
  Scope scope = Scope::kUser;
  if (!userOff && exists(userPath)) {
    chosen = userPath;
  } else if (!systemPath.empty() && exists(systemPath)) {
    chosen = systemPath;
    scope = Scope::kSystem;
  }
  if (chosen.empty()) {
    if (userOff && exists(userPath)) {
      return no("the per-user manifest " + userPath + " is ignored: " + *userOff +
                    "; a system-wide registration would work",
                policies.userLevelHosts->file,
                rewriteCommand(context, question, Scope::kSystem, std::nullopt));
    }
    return no("no manifest named " + manifestName(context) + " is in " + userFolder +
                  (systemPath.empty() ? std::string() : " or " + *systemFolder) + ", where " +
                  std::string(browser.displayName) + " looks",
              userPath, rewriteCommand(context, question, Scope::kUser, std::nullopt));
  }
  FileContents contents = setup::readWholeFile(chosen);
  if (contents.state != FileState::kPresent) {
    return no("the browser cannot read " + chosen + ": " + contents.reason, chosen);
  }
  ManifestJudgement judgement = judgeManifest(contents.text, Family::kChromium, name);
  const std::string which = scope == Scope::kUser ? "the per-user manifest " + chosen
                                                  : "the system-wide manifest " + chosen;
  if (!judgement.faults.empty()) {
    return no(which + ", which " + std::string(browser.displayName) +
                  " uses, is refused: " + judgement.faults.front(),
              chosen, rewriteCommand(context, question, scope, judgement.manifest));
  }
  const setup::Manifest& manifest = *judgement.manifest;
  if (!allowsExtension(manifest, question.id)) {
    return no(
        which + " does not allow " + allowedFormOf(Family::kChromium, question.id) +
            " (it allows " +
            (manifest.allowed.empty() ? std::string("none") : setup::shellWords(manifest.allowed)) +
            "); the browser says \"Access to the specified native messaging host is "
            "forbidden.\"",
        chosen, rewriteCommand(context, question, scope, judgement.manifest));
  }
  if (auto fault = hostFileFault(chosen, manifest.path)) return *fault;
  Verdict verdict;
  if (auto fault = extensionFault(context, question, running, verdict.warnings)) return *fault;
  verdict.yes = true;
  verdict.manifestPath = chosen;
  verdict.manifest = manifest;
  if (scope == Scope::kUser && exists(systemPath)) {
    verdict.notes.push_back("a system-wide manifest " + systemPath + " is there too; " +
                            std::string(browser.displayName) + " uses the per-user one");
  }
  return verdict;
}

Verdict judgeFirefox(const Context& context, const Question& question,
                     const std::vector<RunningBrowser>& running) {
  const Browser& browser = *question.browser;
  const std::string name = context.options.name;
  std::vector<std::pair<Scope, std::string>> candidates;
  for (Scope scope : {Scope::kUser, Scope::kSystem}) {
    if (auto folder = setup::manifestFolder(browser, scope, context.environment)) {
      candidates.emplace_back(scope, setup::joinPath(*folder, manifestName(context)));
    }
  }
  std::optional<Verdict> first;  // the first refusal, which the report names
  for (const auto& [scope, path] : candidates) {
    if (!exists(path)) continue;
    FileContents contents = setup::readWholeFile(path);
    Verdict refusal;
    if (contents.state != FileState::kPresent) {
      refusal = no("Firefox cannot read " + path + ": " + contents.reason, path);
    } else {
      ManifestJudgement judgement = judgeManifest(contents.text, Family::kFirefox, name);
      if (!judgement.faults.empty()) {
        refusal = no(path + " is refused by Firefox: " + judgement.faults.front(), path,
                     rewriteCommand(context, question, scope, judgement.manifest));
      } else if (!allowsExtension(*judgement.manifest, question.id)) {
        std::string why = path + " does not list the add-on id " + question.id;
        why += " in allowed_extensions (it lists " + setup::shellWords(judgement.manifest->allowed);
        why += "); Firefox says \"No such native application " + name + "\"";
        refusal = no(why, path, rewriteCommand(context, question, scope, judgement.manifest));
      } else {
        if (auto fault = hostFileFault(path, judgement.manifest->path)) return *fault;
        Verdict verdict;
        if (auto fault = extensionFault(context, question, running, verdict.warnings)) {
          return *fault;
        }
        verdict.yes = true;
        verdict.manifestPath = path;
        verdict.manifest = judgement.manifest;
        if (first) {
          verdict.notes.push_back("Firefox passes over " + first->file + " (" + first->reason +
                                  ") and uses " + path);
        }
        return verdict;
      }
    }
    if (!first) first = refusal;
  }
  if (first) return *first;
  std::string folders;
  for (const auto& [scope, path] : candidates) {
    folders += (folders.empty() ? "" : " or ") + common::parentFolder(path);
  }
  return no(
      "no manifest named " + manifestName(context) + " is in " + folders + ", where Firefox looks",
      candidates.empty() ? std::string() : candidates.front().second,
      rewriteCommand(context, question, Scope::kUser, std::nullopt));
}

}  // namespace

std::string allowedFormOf(Family family, const std::string& id) {
  return family == Family::kChromium ? "chrome-extension://" + id + "/" : id;
}

std::string idOf(Family family, const std::string& allowed) {
  if (family == Family::kFirefox) return allowed;
  std::string id = chromiumIdIn(allowed);
  if (!id.empty()) return id;
  id = allowed;
  std::transform(id.begin(), id.end(), id.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; });
  return id;
}

std::string installCommand(const Context& context, const Browser* browser,
                           const std::optional<std::string>& userDataDir, Scope scope,
                           const std::vector<std::string>& allowed, const std::string& hostPath,
                           bool force) {
  std::string command = "ostrel-native-host-setup install";
  if (userDataDir) {
    command += " --user-data-dir " + quotedWord(*userDataDir);
  } else if (browser != nullptr) {
    command += " --browser " + std::string(browser->key);
  }
  if (scope == Scope::kSystem) command = "sudo " + command + " --system";
  const Family family = browser != nullptr ? browser->family : Family::kChromium;
  const char* option = family == Family::kChromium ? " --origin " : " --extension-id ";
  for (const std::string& id : allowed) command += option + quotedWord(id);
  if (!hostPath.empty() && resolved(hostPath) != resolved(context.defaultHostPath)) {
    command += " --host-path " + quotedWord(hostPath);
  }
  if (context.options.name != setup::kDefaultHostName) command += " --name " + context.options.name;
  if (force) command += " --force";
  return command;
}

Verdict judge(const Context& context, const Question& question,
              const std::vector<RunningBrowser>& running) {
  return question.browser->family == Family::kChromium ? judgeChromium(context, question, running)
                                                       : judgeFirefox(context, question, running);
}

}  // namespace ostrel::doctor
