// Linux: one file action closes everything from descriptor 3 on (glibc 2.34).
#include "peers/child_process_spawn.h"

namespace ostrel::peers {

int closeAboveStandardStreams(posix_spawn_file_actions_t& actions, short& /*flags*/) {
  return posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

}  // namespace ostrel::peers
