#include "proc_stats.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ostrel::bench {
namespace {

std::string procPath(pid_t pid) { return "/proc/" + std::to_string(pid); }

// The number after "name:" in a status file.
std::optional<std::uint64_t> statusField(const std::string& file, const std::string& name) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) {
      return std::stoull(line.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

// Adds up `read(taskFolder)` over every thread of `pid`.
template <typename Read>
std::optional<std::uint64_t> sumOverThreads(pid_t pid, Read read) {
  std::error_code error;
  std::filesystem::directory_iterator tasks(procPath(pid) + "/task", error);
  if (error) return std::nullopt;
  std::uint64_t total = 0;
  for (const auto& task : tasks) {
    if (auto value = read(task.path().string())) total += *value;
  }
  return total;
}

}  // namespace

std::optional<std::uint64_t> cpuNanos(pid_t pid) {
  return sumOverThreads(pid, [](const std::string& task) -> std::optional<std::uint64_t> {
    std::ifstream in(task + "/schedstat");
    std::uint64_t nanos;
    if (in >> nanos) return nanos;
    return std::nullopt;
  });
}

std::optional<std::uint64_t> voluntarySwitches(pid_t pid) {
  return sumOverThreads(pid, [](const std::string& task) {
    return statusField(task + "/status", "voluntary_ctxt_switches");
  });
}

std::optional<std::uint64_t> residentKiB(pid_t pid) {
  return statusField(procPath(pid) + "/status", "VmRSS");
}

std::optional<std::uint64_t> peakResidentKiB(pid_t pid) {
  return statusField(procPath(pid) + "/status", "VmHWM");
}

std::optional<std::uint64_t> threadCount(pid_t pid) {
  return statusField(procPath(pid) + "/status", "Threads");
}

}  // namespace ostrel::bench
