#include "host_environment.h"
#include "tools/common/process_table.h"

namespace ostrel::setup {
namespace {

constexpr int kDeepestWrapper = 4;  // a wrapper that starts a wrapper ...

std::optional<pid_t> newestChild(pid_t pid) {
  std::optional<pid_t> newest;
  for (const common::ProcessEntry& child : common::childrenOf(pid)) {
    if (child.state != 'Z' && (!newest || child.pid > *newest)) newest = child.pid;
  }
  return newest;
}

}  // namespace

std::optional<ReceivedEnvironment> receivedEnvironment(pid_t pid) {
  ReceivedEnvironment received{.entries = {}, .pid = pid, .program = common::programOf(pid)};
  std::vector<ReceivedEnvironment> chain{received};
  for (int depth = 0; depth < kDeepestWrapper; ++depth) {
    if (received.program.ends_with("/ostrel-native-host-tap")) break;
    std::optional<pid_t> child = newestChild(received.pid);
    if (!child) break;
    received.pid = *child;
    received.program = common::programOf(*child);
    received.fromChild = true;
    chain.push_back(received);
  }
  // A process caught in the middle of an exec shows an empty environment
  // for a moment: the nearest ancestor whose environment reads whole
  // stands in for it, and where none does the system has not told.
  for (std::size_t i = chain.size(); i-- > 0;) {
    std::optional<std::vector<std::string>> entries = common::environmentOf(chain[i].pid);
    if (!entries || entries->empty()) continue;
    chain[i].entries = std::move(*entries);
    return chain[i];
  }
  return std::nullopt;
}

}  // namespace ostrel::setup
