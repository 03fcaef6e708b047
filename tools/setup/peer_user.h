#ifndef OSTREL_SETUP_PEER_USER_H_
#define OSTREL_SETUP_PEER_USER_H_

// The user id of the process at the other end of a connected Unix-domain
// socket, as the kernel recorded it; the call differs between systems.

#include <sys/types.h>

#include <optional>

namespace ostrel::setup {

std::optional<uid_t> peerUserId(int socket);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_PEER_USER_H_
