#include "fault_support.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ostrel::testing {
namespace {

std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

bool isNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::optional<int> descriptorCount(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  ::closedir(dir);
  return static_cast<int>(entriesOf(folder).size());
}

std::optional<long> residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return std::nullopt;
}

std::vector<pid_t> threadIds(pid_t pid) {
  std::vector<pid_t> ids;
  for (const std::string& name : entriesOf("/proc/" + std::to_string(pid) + "/task")) {
    if (isNumber(name)) ids.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return ids;
}

std::vector<ChildProcess> childrenOf(pid_t pid) {
  std::vector<ChildProcess> children;
  for (const std::string& name : entriesOf("/proc")) {
    if (!isNumber(name)) continue;
    std::ifstream stat("/proc/" + name + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // pid (comm) state ppid ...; comm may hold spaces and parentheses.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 1));
    char state = '?';
    long parent = -1;
    rest >> state >> parent;
    if (parent == pid) children.push_back({static_cast<pid_t>(std::stol(name)), state});
  }
  return children;
}

Bytes frameOfBytes(const Bytes& payload) {
  Bytes frame = frameOf("");
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(length >> (8 * i));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes patternPayload(std::uint32_t index, std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = index * 2654435761U + 1;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1664525U + 1013904223U;
    bytes[i] = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

}  // namespace ostrel::testing
