#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <set>

#include "running_browsers.h"
#include "tools/common/process_table.h"

namespace ostrel::setup {
namespace {

// The browser's own processes (not its renderers, which carry --type=).
bool isChromiumBrowser(const std::vector<std::string>& words) {
  if (words.empty()) return false;
  std::string name = words[0].substr(words[0].rfind('/') + 1);
  bool known = name.find("chrom") != std::string::npos || name.find("brave") != std::string::npos ||
               name.find("vivaldi") != std::string::npos || name.find("edge") != std::string::npos;
  for (const std::string& word : words) {
    if (word.starts_with("--type=")) return false;
  }
  return known;
}

std::string absoluteIn(const std::string& pid, const std::string& path) {
  if (path.starts_with('/')) return path;
  char folder[PATH_MAX];
  ssize_t length = ::readlink(("/proc/" + pid + "/cwd").c_str(), folder, sizeof folder - 1);
  if (length <= 0) return path;
  return std::string(folder, static_cast<std::size_t>(length)) + "/" + path;
}

}  // namespace

std::vector<RunningBrowser> browsersWithUserDataDir() {
  std::vector<RunningBrowser> found;
  std::set<std::string> folders;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return found;
  while (dirent* entry = ::readdir(proc.get())) {
    std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::vector<std::string> words = common::commandLineOf(static_cast<pid_t>(std::stol(pid)))
                                         .value_or(std::vector<std::string>{});
    if (!isChromiumBrowser(words)) continue;
    for (std::size_t i = 1; i < words.size(); ++i) {
      std::string folder;
      if (words[i].starts_with("--user-data-dir=")) {
        folder = words[i].substr(16);
      } else if (words[i] == "--user-data-dir" && i + 1 < words.size()) {
        folder = words[i + 1];
      }
      if (folder.empty()) continue;
      folder = absoluteIn(pid, folder);
      if (folders.insert(folder).second) {
        found.push_back({static_cast<pid_t>(std::atoi(pid.c_str())), words[0], folder});
      }
    }
  }
  return found;
}

}  // namespace ostrel::setup
