// Linux: everything from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <memory>
#include <sstream>
#include <string_view>

#include "tools/common/process_table.h"

namespace ostrel::common {
namespace {

std::string procFolder(pid_t pid) { return "/proc/" + std::to_string(pid); }

// /proc files are small, but a process may end while one is read: every
// failure is an empty answer, never an exception. Bounded, as a command
// line or an environment can be large but never needs more.
constexpr std::size_t kMaxProcFileBytes = std::size_t{4} << 20;

std::optional<std::string> readProcFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::string all;
  char buffer[16384];
  bool failed = false;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(std::min<ssize_t>(
                           n, static_cast<ssize_t>(kMaxProcFileBytes - all.size()))));
    if (all.size() >= kMaxProcFileBytes) break;
  }
  ::close(fd);
  if (failed) return std::nullopt;
  return all;
}

std::string readAll(const std::string& path) { return readProcFile(path).value_or(""); }

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The numeric entries of a folder: process ids in /proc, thread ids in a
// task folder, descriptor numbers in an fd folder. Nothing when the folder
// cannot be read.
std::optional<std::vector<pid_t>> numberedEntries(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return std::nullopt;
  std::vector<pid_t> numbers;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::optional<std::uint64_t> number = parseNumber(entry->d_name);
    const std::string_view name(entry->d_name);
    if (number && name.find_first_not_of("0123456789") == std::string_view::npos &&
        *number <= static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) {
      numbers.push_back(static_cast<pid_t>(*number));
    }
  }
  return numbers;
}

// The number after "name:" in a status file.
std::optional<std::uint64_t> statusField(const std::string& file, const std::string& name) {
  const std::string text = readAll(file);
  const std::string key = name + ":";
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (line.starts_with(key)) return parseNumber(line.substr(key.size()));
    start = end + 1;
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
  std::optional<std::string> read = readProcFile(path);
  if (!read) return std::nullopt;
  const std::string& all = *read;
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
    return parseNumber(readAll(task + "/schedstat"));
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
    if (!wanted.empty() && programOf(pid) != wanted) continue;
    if (isAlive(pid)) found.push_back(pid);
  }
  return found;
}

std::string programOf(pid_t pid) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink((procFolder(pid) + "/exe").c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

std::optional<ProcessIdentity> identityOf(pid_t pid) {
  // "Uid:\treal\teffective\tsaved\tfile-system", read between two looks
  // at the executable: a process that runs another program meanwhile has
  // other ids perhaps, and no answer.
  const std::string executable = programOf(pid);
  const std::string text = readAll(procFolder(pid) + "/status");
  if (programOf(pid) != executable) return std::nullopt;
  const std::size_t at = text.find("\nUid:");
  if (at == std::string::npos) return std::nullopt;
  std::istringstream ids(text.substr(at + 5, text.find('\n', at + 1) - at - 5));
  unsigned long real = 0;
  unsigned long effective = 0;
  unsigned long saved = 0;
  unsigned long fileSystem = 0;
  if (!(ids >> real >> effective >> saved >> fileSystem)) return std::nullopt;
  return ProcessIdentity{.realUser = static_cast<uid_t>(real),
                         .effectiveUser = static_cast<uid_t>(effective),
                         .savedUser = static_cast<uid_t>(saved),
                         .fileSystemUser = static_cast<uid_t>(fileSystem),
                         .executable = executable};
}

std::vector<pid_t> processesOf(uid_t user) {
  std::vector<pid_t> found;
  for (pid_t pid : numberedEntries("/proc").value_or(std::vector<pid_t>{})) {
    struct stat info {};
    if (::stat(procFolder(pid).c_str(), &info) == 0 && info.st_uid == user) found.push_back(pid);
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
