// Apple systems: no file-system ids; the other user has only their own
// access to files, and a private folder keeps them from the socket.
#include <unistd.h>

#include "raw_peer.h"

namespace ostrel::appcheck {

bool becomePeer(uid_t user, gid_t group, std::string& how) {
  if (::setgroups(0, nullptr) != 0 || ::setegid(group) != 0 || ::seteuid(user) != 0) {
    return false;
  }
  how = "as user id " + std::to_string(user);
  return true;
}

}  // namespace ostrel::appcheck
