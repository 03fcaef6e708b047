#include "running_browsers.h"

#include <unistd.h>

#include <climits>
#include <set>
#include <string_view>

#include "files.h"
#include "host/settings.h"
#include "tools/common/process_table.h"

namespace ostrel::doctor {
namespace {

using setup::Family;

std::string absoluteIn(pid_t pid, const std::string& path) {
  if (path.empty() || path.starts_with('/')) return path;
#ifdef __linux__
  char folder[PATH_MAX];
  const ssize_t length =
      ::readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), folder, sizeof folder - 1);
  if (length > 0) return std::string(folder, static_cast<std::size_t>(length)) + "/" + path;
#else
  (void)pid;
#endif
  return path;
}

// The value of `--name=value` or `--name value` at words[i], or nothing.
std::optional<std::string> optionValue(const std::vector<std::string>& words, std::size_t& i,
                                       std::string_view name) {
  const std::string& word = words[i];
  if (word.size() > name.size() && word.starts_with(name) && word[name.size()] == '=') {
    return word.substr(name.size() + 1);
  }
  if (word == name && i + 1 < words.size()) return words[++i];
  return std::nullopt;
}

void splitInto(const std::string& list, std::vector<std::string>& into) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) into.push_back(list.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

std::optional<RunningBrowser> browserIn(const std::string& executable,
                                        const std::vector<std::string>& commandLine,
                                        setup::Platform platform) {
  // A process between fork and exec shows no command line yet.
  if (commandLine.empty() || commandLine.front().empty()) return std::nullopt;
  RunningBrowser found;
  found.browser = setup::browserOfExecutable(executable, platform);
  if (found.browser == nullptr) return std::nullopt;
  // A process that rewrote its title (Chromium's zygote) shows its whole
  // command line as one word; its options follow a space.
  std::vector<std::string> words = commandLine;
  if (words.size() == 1 && words[0].find(" -") != std::string::npos) {
    words.clear();
    std::string_view line = commandLine[0];
    while (!line.empty()) {
      const std::size_t end = std::min(line.find(' '), line.size());
      if (end > 0) words.emplace_back(line.substr(0, end));
      line.remove_prefix(std::min(end + 1, line.size()));
    }
  }
  found.family = found.browser->family;
  found.program = words[0];
  for (std::size_t i = 1; i < words.size(); ++i) {
    // Helper processes: Chromium's renderers and the like, Firefox's
    // content processes and the fork server that starts them.
    if (words[i].starts_with("--type=") || words[i] == "-contentproc" ||
        words[i] == "-forkserver") {
      return std::nullopt;
    }
    if (found.family != Family::kChromium) {
      // Firefox takes its options with one dash or two.
      if (auto dir = optionValue(words, i, "-profile")) {
        found.profile = *dir;
      } else if (auto other = optionValue(words, i, "--profile")) {
        found.profile = *other;
      }
      continue;
    }
    if (auto dir = optionValue(words, i, "--user-data-dir")) {
      found.userDataDir = *dir;
    } else if (auto list = optionValue(words, i, "--load-extension")) {
      splitInto(*list, found.loadedExtensions);
    } else if (words[i] == "--headless" || words[i].starts_with("--headless=")) {
      found.temporaryProfile = true;
    }
  }
  found.temporaryProfile = found.temporaryProfile && found.userDataDir.empty();
  return found;
}

namespace {

// What root leaves unread of a browser's command line: a folder a process
// names is no folder root may be led into.
void withholdFolders(RunningBrowser& browser) {
  std::string named;
  if (!browser.userDataDir.empty()) named += " --user-data-dir=" + browser.userDataDir;
  if (!browser.profile.empty()) named += " -profile " + browser.profile;
  for (const std::string& folder : browser.loadedExtensions) named += " --load-extension=" + folder;
  if (named.empty()) return;
  browser.withheld = "run as root, the doctor reads no folder a process names, so " +
                     browser.program + " (pid " + std::to_string(browser.pid) +
                     ") is judged as if started without" + named +
                     "; run the doctor as the browser's user to judge that";
  browser.userDataDir.clear();
  browser.profile.clear();
  browser.loadedExtensions.clear();
}

// The browser `pid` runs for `user`, or nothing: a process counts only when
// all four of its user ids are `user` (never a set-user-id program another
// user started) and its executable is a browser's main program.
std::optional<RunningBrowser> browserOf(pid_t pid, uid_t user) {
  std::optional<common::ProcessIdentity> before = common::identityOf(pid);
  if (!before || !common::actsOnlyAs(*before, user)) return std::nullopt;
  std::optional<std::vector<std::string>> words = common::commandLineOf(pid);
  if (!words) return std::nullopt;
  std::optional<RunningBrowser> browser =
      browserIn(before->executable, *words, setup::currentPlatform());
  if (!browser) return std::nullopt;
  browser->pid = pid;
  browser->environment = common::environmentOf(pid);
  // An empty one is that of a process in the middle of an exec.
  if (browser->environment && browser->environment->empty()) browser->environment.reset();
  // The same process still, as the same user: not one that took its id
  // or ran another program meanwhile.
  std::optional<common::ProcessIdentity> after = common::identityOf(pid);
  if (!after || !common::actsOnlyAs(*after, user) || after->executable != before->executable) {
    return std::nullopt;
  }
  return browser;
}

}  // namespace

std::vector<RunningBrowser> runningBrowsers() {
  std::vector<RunningBrowser> found;
  std::set<std::string> seen;
  const uid_t user = ::geteuid();
  for (pid_t pid : common::processesOf(user)) {
    std::optional<RunningBrowser> browser = browserOf(pid, user);
    if (!browser) continue;
    if (user == 0) withholdFolders(*browser);
    browser->userDataDir = absoluteIn(pid, browser->userDataDir);
    browser->profile = absoluteIn(pid, browser->profile);
    for (std::string& folder : browser->loadedExtensions) folder = absoluteIn(pid, folder);
    if (browser->environment) {
      const char* home = entryValue(*browser->environment, "HOME");
      browser->homeFromPasswordDatabase = home == nullptr || home[0] != '/';
      browser->home = homeDirectoryFrom(home).value_or("");
    }
    // One per browser, profile folder and home: the others are its twins.
    const std::string key = std::string(browser->browser->key) + '\n' + browser->userDataDir +
                            '\n' + browser->profile + '\n' + browser->home + '\n' +
                            browser->withheld;
    if (!seen.insert(key).second) continue;
    found.push_back(std::move(*browser));
  }
  return found;
}

const char* entryValue(const std::vector<std::string>& entries, std::string_view name) {
  for (const std::string& entry : entries) {
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
      return entry.c_str() + name.size() + 1;
    }
  }
  return nullptr;
}

}  // namespace ostrel::doctor
