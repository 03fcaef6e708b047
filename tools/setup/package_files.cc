#include "package_files.h"

#include "files.h"
#include "manifest.h"
#include "options.h"
#include "package_manifest.h"
#include "tools/common/shell_words.h"
#include "trace.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

// A home folder with no XDG settings, to find the per-user folders below.
constexpr std::string_view kHome = "/HOME";

Environment plainEnvironment() {
  Environment environment;
  environment.platform = Platform::kLinux;
  environment.home = kHome;
  environment.configHome = joinPath(environment.home, ".config");
  return environment;
}

std::string belowHome(const std::string& path) { return path.substr(kHome.size() + 1); }

std::string lines(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "" : "\n") + value;
  return text;
}

// The line of `text` that holds `part`, without its indentation.
std::string lineHolding(const std::string& text, std::string_view part) {
  std::size_t at = text.find(part);
  std::size_t start = text.find_first_not_of(' ', text.rfind('\n', at) + 1);
  std::string line = text.substr(start, text.find('\n', at) - start);
  if (line.ends_with(',')) line.pop_back();
  return line;
}

}  // namespace

std::vector<PackagedFile> packageManifests(const std::vector<std::string>& origins,
                                           const std::vector<std::string>& ids,
                                           const std::string& hostPath,
                                           std::vector<std::string>& problems) {
  // The values go through install's own command line, so that a bare id
  // becomes its origin exactly as --origin makes it.
  std::vector<std::string> words = {"install"};
  for (const std::string& origin : origins) words.insert(words.end(), {"--origin", origin});
  for (const std::string& id : ids) words.insert(words.end(), {"--extension-id", id});
  std::vector<std::string_view> views(words.begin(), words.end());
  ParsedCommandLine parsed = parseCommandLine(views);
  if (!parsed.options) {
    problems.push_back("OSTREL_CHROMIUM_ORIGINS or OSTREL_FIREFOX_EXTENSION_IDS: " + parsed.error);
    return {};
  }
  const Options& options = *parsed.options;
  for (const std::string& origin : options.origins) {
    if (Problem problem = checkChromiumOrigin(origin)) {
      problems.push_back("OSTREL_CHROMIUM_ORIGINS: " + *problem);
    }
  }
  for (const std::string& id : options.extensionIds) {
    if (Problem problem = checkFirefoxExtensionId(id)) {
      problems.push_back("OSTREL_FIREFOX_EXTENSION_IDS: " + *problem);
    }
  }
  if (!problems.empty()) return {};
  std::vector<PackagedFile> files;
  for (const Browser& browser : allBrowsers()) {
    const bool chromium = browser.family == Family::kChromium;
    const std::vector<std::string>& allowed = chromium ? options.origins : options.extensionIds;
    std::optional<std::string> folder = manifestFolder(browser, Scope::kSystem, plainEnvironment());
    if (allowed.empty() || !folder) continue;
    Manifest manifest =
        ownManifest(std::string(kDefaultHostName), hostPath, browser.family, allowed);
    manifest.description = kPackageDescription;
    files.push_back(
        {joinPath(*folder, manifestFileName(kDefaultHostName)), renderManifest(manifest)});
  }
  return files;
}

std::vector<std::string> linuxSystemFolders(std::optional<Family> family) {
  std::vector<std::string> folders;
  for (const Browser& browser : allBrowsers()) {
    if (family && browser.family != *family) continue;
    std::optional<std::string> folder = manifestFolder(browser, Scope::kSystem, plainEnvironment());
    if (folder) folders.push_back(*folder);
  }
  return folders;
}

std::vector<std::string> linuxUserFolders() {
  std::vector<std::string> folders;
  for (const Browser& browser : allBrowsers()) {
    folders.push_back(belowHome(*manifestFolder(browser, Scope::kUser, plainEnvironment())));
  }
  return folders;
}

std::optional<std::string> removalScript(std::string_view script) {
  const std::string toolManifest =
      renderManifest(ownManifest("name", "/path", Family::kChromium, {"origin"}));
  const std::pair<std::string_view, std::string> values[] = {
      {"@SYSTEM_FOLDERS@", lines(linuxSystemFolders())},
      {"@USER_FOLDERS@", lines(linuxUserFolders())},
      {"@TOOL_MARK@", lineHolding(toolManifest, kOwnDescription)},
      {"@TAP_MARK@", std::string(kTraceScriptMark)},
      {"@TAP_FOLDER@", belowHome(defaultTraceFolder(std::string(kHome)))},
  };
  std::string text(script);
  for (const auto& [name, value] : values) {
    std::size_t at = text.find(name);
    if (at == std::string::npos) return std::nullopt;
    for (; at != std::string::npos; at = text.find(name, at)) {
      const std::string quoted = common::shellWord(value);
      text.replace(at, name.size(), quoted);
      at += quoted.size();
    }
  }
  // A name left over is one this code does not know.
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
    std::size_t end = text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_", at + 1);
    if (end != std::string::npos && end > at + 1 && text[end] == '@') return std::nullopt;
  }
  return text;
}

}  // namespace ostrel::setup
