#ifndef OSTREL_PEERS_CHILD_PROCESS_SPAWN_H_
#define OSTREL_PEERS_CHILD_PROCESS_SPAWN_H_

// What differs between systems when a child is started. Internal to
// child_process.cc.

#include <spawn.h>

#include <vector>

namespace ostrel::peers {

// Arranges for every descriptor above 2 but `inherited` to be closed in the
// child, and for `inherited` to stay open there, adding to `actions` or to
// `flags` (for posix_spawnattr_setflags). 0 or an errno.
int closeAboveStandardStreams(posix_spawn_file_actions_t& actions, short& flags,
                              const std::vector<int>& inherited);

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_CHILD_PROCESS_SPAWN_H_
