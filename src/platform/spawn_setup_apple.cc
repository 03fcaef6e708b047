// Apple systems: only the descriptors named by file actions survive the
// start: the dup2 targets 0, 1 and 2, and those inherited.
#include "peers/child_process_spawn.h"

namespace ostrel::peers {

int closeAboveStandardStreams(posix_spawn_file_actions_t& actions, short& flags,
                              const std::vector<int>& inherited) {
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  for (int fd : inherited) {
    if (const int error = posix_spawn_file_actions_addinherit_np(&actions, fd)) return error;
  }
  return 0;
}

}  // namespace ostrel::peers
