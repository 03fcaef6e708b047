#ifndef OSTREL_PEERS_CHILD_PROCESS_SPAWN_H_
#define OSTREL_PEERS_CHILD_PROCESS_SPAWN_H_

// What differs between systems when a child is started. Internal to
// child_process.cc.

#include <spawn.h>

namespace ostrel::peers {

// Arranges for every descriptor above 2 to be closed in the child, adding
// to `actions` or to `flags` (for posix_spawnattr_setflags). 0 or an errno.
int closeAboveStandardStreams(posix_spawn_file_actions_t& actions, short& flags);

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_CHILD_PROCESS_SPAWN_H_
