// Linux: from descriptor 3 on, close actions for every number but those
// inherited, which a dup2 onto themselves frees of close-on-exec, then one
// action for all the rest (glibc 2.34).
#include <algorithm>

#include "platform/spawn_setup.h"

namespace ostrel {

int closeAboveStandardStreams(posix_spawn_file_actions_t& files, short& /*flags*/,
                              const std::vector<int>& inherited) {
  std::vector<int> kept = inherited;
  std::sort(kept.begin(), kept.end());
  int next = 3;
  for (int fd : kept) {
    for (; next < fd; ++next) {
      if (const int error = posix_spawn_file_actions_addclose(&files, next)) return error;
    }
    if (fd >= next) {
      if (const int error = posix_spawn_file_actions_adddup2(&files, fd, fd)) return error;
      next = fd + 1;
    }
  }
  return posix_spawn_file_actions_addclosefrom_np(&files, next);
}

}  // namespace ostrel
