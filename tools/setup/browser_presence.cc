#include "browser_presence.h"

#include <unistd.h>

#include <vector>

#include "files.h"
#include "tools/common/paths.h"

namespace ostrel::setup {
namespace {

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  while (!text.empty()) {
    std::size_t end = text.find(separator);
    std::string_view piece = text.substr(0, end);
    if (!piece.empty()) pieces.emplace_back(piece);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return pieces;
}

// The folder holding the browser's per-user manifest folder: its own
// configuration folder (~/.config/chromium, ~/.mozilla, ...).
std::string configurationFolder(const Browser& browser, const Environment& environment) {
  return common::parentFolder(manifestFolder(browser, Scope::kUser, environment).value_or("/"));
}

std::vector<std::string> programCandidates(const Browser& browser, const Environment& environment) {
  std::vector<std::string> candidates;
  if (environment.platform == Platform::kMacOS) {
    for (const std::string& folder :
         {environment.systemRoot + "/Applications", joinPath(environment.home, "Applications")}) {
      candidates.push_back(joinPath(folder, browser.macApp));
    }
    return candidates;
  }
  for (const std::string& folder : split(environment.searchPath, ':')) {
    for (const std::string& program : split(browser.linuxPrograms, ' ')) {
      candidates.push_back(joinPath(folder, program));
    }
  }
  return candidates;
}

}  // namespace

std::optional<std::string> installationSign(const Browser& browser,
                                            const Environment& environment) {
  std::string folder = configurationFolder(browser, environment);
  if (isDirectory(folder)) return folder;
  for (const std::string& candidate : programCandidates(browser, environment)) {
    bool found = environment.platform == Platform::kMacOS
                     ? isDirectory(candidate)
                     : ::access(candidate.c_str(), X_OK) == 0 && !isDirectory(candidate);
    if (found) return candidate;
  }
  return std::nullopt;
}

std::string installationPlaces(const Browser& browser, const Environment& environment) {
  std::string places = "no " + configurationFolder(browser, environment);
  if (environment.platform == Platform::kMacOS) {
    return places + ", no " + std::string(browser.macApp) + " in /Applications or ~/Applications";
  }
  std::string programs;
  for (const std::string& program : split(browser.linuxPrograms, ' ')) {
    programs += (programs.empty() ? "" : " or ") + program;
  }
  return places + ", no " + programs + " on PATH";
}

}  // namespace ostrel::setup
