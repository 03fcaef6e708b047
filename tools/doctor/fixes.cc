#include "fixes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "files.h"
#include "package_manifest.h"
#include "tools/common/paths.h"
#include "tools/common/shell_words.h"
#include "validation.h"

namespace ostrel::doctor {
namespace {

std::string quoted(const std::string& word) { return common::shellWords({word}); }

// Whether `program` is an executable file in a folder of the search path.
bool onSearchPath(std::string_view program, const setup::Environment& environment) {
  std::string_view path = environment.searchPath;
  while (!path.empty()) {
    const std::size_t end = std::min(path.find(':'), path.size());
    const std::string folder(path.substr(0, end));
    path.remove_prefix(std::min(end + 1, path.size()));
    const std::string file = setup::joinPath(folder, program);
    struct stat info {};
    if (folder.starts_with('/') && ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(file.c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

// The longest command printed as a fix: one that keeps a very long allowed
// list is no command anyone can run. Linux takes at most 128 KiB in one
// argument (su -c's), macOS 1 MiB in all; half the smaller leaves room.
constexpr std::size_t kLongestCommand = 64 << 10;

// Where `path` is a symbolic link, advice that names where it leads in
// place of a mode change: chmod changes what the link points to, which its
// owner may point at any file, /etc/shadow included.
std::optional<Fix> throughLink(const std::string& path, const std::string& what) {
  if (!setup::isSymbolicLink(path)) return std::nullopt;
  return Fix{{},
             "it is a symbolic link to " + common::resolvedPath(path) + ": " + what +
                 " only if it should be, or put the file itself in the link's place"};
}

}  // namespace

void attach(const Fix& fix, Findings& findings) {
  if (!fix.command.empty()) findings.fix(fix.command);
  if (!fix.advice.empty()) findings.advise(fix.advice);
}

Fix runnable(const std::string& command, bool root, const setup::Environment& environment) {
  if (command.size() > kLongestCommand) {
    return {{},
            "the command that mends it would be " + std::to_string(command.size()) +
                " bytes long, more than a command line holds: edit the manifest by hand, or "
                "register fewer ids"};
  }
  if (!root || ::geteuid() == 0) return {command, {}};
  if (onSearchPath("sudo", environment)) return {"sudo " + command, {}};
  if (onSearchPath("su", environment)) {
    return {"su -c " + quoted(command),
            "it needs root (sudo is not installed; su asks for root's "
            "password)"};
  }
  return {{}, "as root, run: " + command};
}

std::string installCommand(const Context& context, const Place& place,
                           const std::vector<std::string>& allowed, const std::string& hostPath,
                           bool force) {
  std::string command = "ostrel-native-host-setup install";
  // A system-wide manifest serves every profile folder of the browser.
  if (place.userDataDir && place.scope != Scope::kSystem) {
    command += " --user-data-dir " + quoted(*place.userDataDir);
  } else if (place.browser != nullptr) {
    command += " --browser " + std::string(place.browser->key);
  }
  if (place.scope == Scope::kSystem) command += " --system";
  const bool firefox = place.browser != nullptr && place.browser->family == Family::kFirefox;
  for (const std::string& id : allowed) {
    command += (firefox ? " --extension-id " : " --origin ") + quoted(id);
  }
  if (!hostPath.empty() &&
      common::resolvedPath(hostPath) != common::resolvedPath(context.defaultHostPath)) {
    command += " --host-path " + quoted(hostPath);
  }
  if (context.options.name != setup::kDefaultHostName) command += " --name " + context.options.name;
  return force ? command + " --force" : command;
}

Fix rewriteFix(const Context& context, const Place& place,
               const std::optional<setup::Manifest>& manifest, bool present,
               const std::string& added) {
  if (manifest && setup::ownerOf(*manifest) == setup::ManifestOwner::kPackage) return {};
  const Family family = place.browser != nullptr ? place.browser->family : Family::kChromium;
  std::vector<std::string> allowed;
  std::unordered_set<std::string> seen;  // a manifest may list many: no search per entry
  auto keep = [&](const std::string& entry) {
    const bool valid = family == Family::kChromium ? !setup::checkChromiumOrigin(entry)
                                                   : !setup::checkFirefoxExtensionId(entry);
    if (valid && seen.insert(entry).second) allowed.push_back(entry);
  };
  if (manifest) std::for_each(manifest->allowed.begin(), manifest->allowed.end(), keep);
  if (!added.empty()) keep(added);
  if (allowed.empty()) return {};
  std::string host = manifest ? manifest->path : std::string();
  if (host.empty() || setup::checkHostPath(host)) host.clear();
  const bool force = present && !(manifest && setup::isOwnManifest(*manifest));
  return runnable(installCommand(context, place, allowed, host, force),
                  place.scope == Scope::kSystem, context.environment);
}

Fix hostFileFix(const Context& context, const std::string& host) {
  struct stat info {};
  if (::stat(host.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) {
    return {};
  }
  if (std::optional<Fix> link = throughLink(host, "make that file executable")) return *link;
  return runnable("chmod +x " + quoted(host), info.st_uid != ::geteuid(), context.environment);
}

Fix readableFix(const Context& context, const std::string& path) {
  if (std::optional<Fix> link = throughLink(path, "make that file readable")) return *link;
  struct stat info {};
  const bool mine = ::stat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid();
  Fix fix = runnable("chmod a+r " + quoted(path), !mine, context.environment);
  if (fix.advice.empty()) {
    fix.advice = "the browser reads it as its user; let every folder above it be entered too";
  }
  return fix;
}

}  // namespace ostrel::doctor
