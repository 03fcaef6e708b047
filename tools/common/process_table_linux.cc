// Linux: everything from /proc.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tools/common/process_table.h"

namespace ostrel::common {
namespace {

namespace fs = std::filesystem;

std::string procFolder(pid_t pid) { return "/proc/" + std::to_string(pid); }

std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool isNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The numeric entries of a folder: process ids in /proc, thread ids in a
// task folder, descriptor numbers in an fd folder. Nothing when the folder
// cannot be read.
std::optional<std::vector<pid_t>> numberedEntries(const std::string& folder) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) return std::nullopt;
  std::vector<pid_t> numbers;
  for (const auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (isNumber(name)) numbers.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return numbers;
}

// The number after "name:" in a status file.
std::optional<std::uint64_t> statusField(const std::string& file, const std::string& name) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1));
  }
  return std::nullopt;
}

// Adds up `read(taskFolder)` over every thread of `pid`.
template <typename Read>
std::optional<std::uint64_t> sumOverThreads(pid_t pid, Read read) {
  const auto threads = numberedEntries(procFolder(pid) + "/task");
  if (!threads) return std::nullopt;
  std::uint64_t total = 0;
  for (pid_t thread : *threads) {
    if (auto value = read(procFolder(pid) + "/task/" + std::to_string(thread))) total += *value;
  }
  return total;
}

// State and parent from a stat file: "pid (comm) state ppid ...", where
// comm may hold spaces and parentheses.
std::optional<std::pair<char, pid_t>> stateAndParent(pid_t pid) {
  const std::string stat = readAll(procFolder(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(close + 1));
  char state = '?';
  long parent = -1;
  if (!(rest >> state >> parent)) return std::nullopt;
  return std::pair{state, static_cast<pid_t>(parent)};
}

// The NUL-separated strings of a /proc file, as cmdline and environ hold them.
std::optional<std::vector<std::string>> nulSeparated(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  const std::string all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) return std::nullopt;
  std::vector<std::string> strings;
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    strings.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return strings;
}

bool environmentHolds(pid_t pid, const std::string& entry) {
  const auto environment = environmentOf(pid);
  return environment &&
         std::find(environment->begin(), environment->end(), entry) != environment->end();
}

}  // namespace

std::optional<int> descriptorCount(pid_t pid) {
  const auto descriptors = numberedEntries(procFolder(pid) + "/fd");
  if (!descriptors) return std::nullopt;
  return static_cast<int>(descriptors->size());
}

std::vector<int> ownDescriptors() {
  std::vector<int> open;
  // The folder's own descriptor is listed too, and closed by now.
  for (pid_t fd : numberedEntries("/proc/self/fd").value_or(std::vector<pid_t>{})) {
    if (::fcntl(fd, F_GETFD) >= 0) open.push_back(fd);
  }
  return open;
}

std::string ownDescriptorTarget(int fd) {
  char path[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
  return n < 0 ? "closed" : std::string(path, static_cast<std::size_t>(n));
}

std::optional<std::uint64_t> residentKiB(pid_t pid) {
  return statusField(procFolder(pid) + "/status", "VmRSS");
}

std::optional<std::uint64_t> peakResidentKiB(pid_t pid) {
  return statusField(procFolder(pid) + "/status", "VmHWM");
}

std::vector<pid_t> threadIds(pid_t pid) {
  return numberedEntries(procFolder(pid) + "/task").value_or(std::vector<pid_t>{});
}

std::optional<std::uint64_t> cpuNanos(pid_t pid) {
  return sumOverThreads(pid, [](const std::string& task) -> std::optional<std::uint64_t> {
    std::ifstream in(task + "/schedstat");
    std::uint64_t nanos = 0;
    if (in >> nanos) return nanos;
    return std::nullopt;
  });
}

std::optional<std::uint64_t> voluntarySwitches(pid_t pid) {
  return sumOverThreads(pid, [](const std::string& task) {
    return statusField(task + "/status", "voluntary_ctxt_switches");
  });
}

bool signalThread(pid_t pid, pid_t thread, int signal) {
  return ::syscall(SYS_tgkill, pid, thread, signal) == 0;
}

std::vector<ProcessEntry> childrenOf(pid_t pid) {
  std::vector<ProcessEntry> children;
  for (pid_t candidate : numberedEntries("/proc").value_or(std::vector<pid_t>{})) {
    const auto entry = stateAndParent(candidate);
    if (entry && entry->second == pid) children.push_back({candidate, entry->first});
  }
  return children;
}

bool isAlive(pid_t pid) {
  const auto entry = stateAndParent(pid);
  return entry && entry->first != 'Z' && entry->first != 'X';
}

std::vector<pid_t> processesWith(const std::string& entry, const std::string& executable) {
  std::string wanted;
  if (!executable.empty()) {
    char resolved[PATH_MAX];
    wanted = ::realpath(executable.c_str(), resolved) != nullptr ? resolved : executable;
  }
  std::vector<pid_t> found;
  for (pid_t pid : numberedEntries("/proc").value_or(std::vector<pid_t>{})) {
    if (!environmentHolds(pid, entry)) continue;
    std::error_code error;
    const fs::path program = fs::read_symlink(procFolder(pid) + "/exe", error);
    if (!wanted.empty() && (error || program.string() != wanted)) continue;
    if (isAlive(pid)) found.push_back(pid);
  }
  return found;
}

std::optional<std::vector<std::string>> commandLineOf(pid_t pid) {
  return nulSeparated(procFolder(pid) + "/cmdline");
}

std::optional<std::vector<std::string>> environmentOf(pid_t pid) {
  return nulSeparated(procFolder(pid) + "/environ");
}

}  // namespace ostrel::common
