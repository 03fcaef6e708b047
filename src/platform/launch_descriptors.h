#ifndef OSTREL_PLATFORM_LAUNCH_DESCRIPTORS_H_
#define OSTREL_PLATFORM_LAUNCH_DESCRIPTORS_H_

// How a spawned program is kept from inheriting any descriptor above 2,
// including those the host itself inherited without close-on-exec (a
// browser's own pipe, say). Private to launch.cc.

#include <spawn.h>

namespace ostrel {

// Adds to `files` or `flags` what closes every descriptor above 2 in the
// child. False when the system refused.
bool closeDescriptorsAboveTwo(posix_spawn_file_actions_t& files, short& flags);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LAUNCH_DESCRIPTORS_H_
