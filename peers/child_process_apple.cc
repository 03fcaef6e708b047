// Apple systems: only the descriptors named by file actions survive the
// start (the dup2 targets 0, 1 and 2).
#include "peers/child_process_spawn.h"

namespace ostrel::peers {

int closeAboveStandardStreams(posix_spawn_file_actions_t& /*actions*/, short& flags) {
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  return 0;
}

}  // namespace ostrel::peers
