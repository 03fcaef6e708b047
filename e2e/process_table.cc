#include "process_table.h"

#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ostrel::e2e {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool environmentHolds(const std::string& folder, const std::string& entry) {
  std::string environment = readAll(folder + "/environ");
  std::size_t start = 0;
  while (start < environment.size()) {
    std::size_t end = environment.find('\0', start);
    if (end == std::string::npos) end = environment.size();
    if (environment.compare(start, end - start, entry) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string programOf(const std::string& folder) {
  std::error_code error;
  std::filesystem::path target = std::filesystem::read_symlink(folder + "/exe", error);
  return error ? std::string() : target.string();
}

// The state letter in a /proc stat file, or 0.
char stateIn(const std::string& statPath) {
  std::string stat = readAll(statPath);
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  return stat[close + 2];
}

}  // namespace

bool isAlive(pid_t pid) {
  char state = stateIn("/proc/" + std::to_string(pid) + "/stat");
  return state != 0 && state != 'Z' && state != 'X';
}

bool allThreadsAsleep(pid_t pid) {
  std::error_code error;
  int threads = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    if (stateIn(task.path().string() + "/stat") != 'S') return false;
    ++threads;
  }
  return !error && threads > 0;
}

std::vector<pid_t> processesWith(const std::string& entry, const std::string& executable) {
  std::vector<pid_t> found;
  std::string wanted;
  if (!executable.empty()) {
    char resolved[PATH_MAX];
    wanted = ::realpath(executable.c_str(), resolved) != nullptr ? resolved : executable;
  }
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string folder = process.path().string();
    if (!environmentHolds(folder, entry)) continue;
    if (!wanted.empty() && programOf(folder) != wanted) continue;
    pid_t pid = static_cast<pid_t>(std::stol(name));
    if (isAlive(pid)) found.push_back(pid);
  }
  return found;
}

}  // namespace ostrel::e2e
