// Linux (glibc 2.34 and later): a file action closes them.
#include "platform/launch_descriptors.h"

namespace ostrel {

bool closeDescriptorsAboveTwo(posix_spawn_file_actions_t& files, short& /*flags*/) {
  return posix_spawn_file_actions_addclosefrom_np(&files, 3) == 0;
}

}  // namespace ostrel
