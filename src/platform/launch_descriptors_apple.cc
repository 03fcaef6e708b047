// Apple systems: every descriptor no file action names is closed.
#include "platform/launch_descriptors.h"

namespace ostrel {

bool closeDescriptorsAboveTwo(posix_spawn_file_actions_t& /*files*/, short& flags) {
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  return true;
}

}  // namespace ostrel
