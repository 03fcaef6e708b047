#include <unistd.h>

#include <climits>

#include "host_environment.h"
#include "tools/common/process_table.h"

namespace ostrel::setup {
namespace {

constexpr int kDeepestWrapper = 4;  // a wrapper that starts a wrapper ...

std::string programOf(pid_t pid) {
  char target[PATH_MAX];
  ssize_t length =
      ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

std::optional<pid_t> newestChild(pid_t pid) {
  std::optional<pid_t> newest;
  for (const common::ProcessEntry& child : common::childrenOf(pid)) {
    if (child.state != 'Z' && (!newest || child.pid > *newest)) newest = child.pid;
  }
  return newest;
}

}  // namespace

std::optional<ReceivedEnvironment> receivedEnvironment(pid_t pid) {
  ReceivedEnvironment received{.entries = {}, .pid = pid, .program = programOf(pid)};
  for (int depth = 0; depth < kDeepestWrapper; ++depth) {
    if (received.program.ends_with("/ostrel-native-host-tap")) break;
    std::optional<pid_t> child = newestChild(received.pid);
    if (!child) break;
    received.pid = *child;
    received.program = programOf(*child);
    received.fromChild = true;
  }
  std::optional<std::vector<std::string>> entries = common::environmentOf(received.pid);
  if (!entries) return std::nullopt;
  received.entries = std::move(*entries);
  return received;
}

}  // namespace ostrel::setup
