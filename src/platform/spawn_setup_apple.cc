// Apple systems: only the descriptors named by file actions survive the
// start: the targets of opens and dup2s, and those inherited.
#include "platform/spawn_setup.h"

namespace ostrel {

int closeAboveStandardStreams(posix_spawn_file_actions_t& files, short& flags,
                              const std::vector<int>& inherited) {
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  for (int fd : inherited) {
    if (const int error = posix_spawn_file_actions_addinherit_np(&files, fd)) return error;
  }
  return 0;
}

}  // namespace ostrel
