// Linux: the effective ids say who connects (SO_PEERCRED reports them);
// the file-system user id, set back to root's, keeps root's access to the
// socket's private folder, so that the application's own check decides.
#include <grp.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include "raw_peer.h"

namespace ostrel::appcheck {

bool becomePeer(uid_t user, gid_t group, std::string& how) {
  if (::setgroups(0, nullptr) != 0 || ::setegid(group) != 0 || ::seteuid(user) != 0) {
    return false;
  }
  ::setfsuid(0);
  // setfsuid reports nothing: an id it refuses leaves the current one,
  // which a second call shows.
  if (::setfsuid(static_cast<uid_t>(-1)) == 0) {
    how = "as user id " + std::to_string(user) + " with root's access to files";
  } else {
    how = "as user id " + std::to_string(user);
  }
  return true;
}

}  // namespace ostrel::appcheck
