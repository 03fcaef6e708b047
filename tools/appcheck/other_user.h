#ifndef OSTREL_TOOLS_APPCHECK_OTHER_USER_H_
#define OSTREL_TOOLS_APPCHECK_OTHER_USER_H_

// A connection from a process of another user, as the application meets
// one: a child of the checker (run as root) that takes every id of that
// user (real, effective and saved user and group ids, and with them the
// file-system ones; no supplementary groups), so that it reaches the socket
// exactly as far as that user could. What keeps it out, the folders or the
// application's own peer check, is told apart.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "event_loop.h"

namespace ostrel::appcheck {

struct OtherUserTry {
  enum Kind {
    kKeptOut,         // the file system refused the connection
    kNothingListens,  // reached the path, but nothing accepts there
    kRefused,         // connected; the application closed it, unanswered
    kAnswered,        // connected; the application sent something back
    kKeptOpen,        // connected; neither answered nor closed in time
    kNotTried,        // the child could not take the user's identity
  } kind = kNotTried;
  std::string detail;  // in words
};

// From a child that takes `user`'s and `group`'s identity: connects to
// `path`, writes `bytes` and waits up to `timeout` for the application to
// close the connection, serving `loop` meanwhile. Needs root.
OtherUserTry tryAsOtherUser(EventLoop& loop, const std::string& path, uid_t user, gid_t group,
                            std::string_view bytes, std::chrono::milliseconds timeout);

// Takes every id of `user` and `group`, for good; in a child only. False
// with errno when the system refused, or any id is left as it was.
bool becomeOtherUser(uid_t user, gid_t group);

// What keeps `user` (of `group`) from `path` by the permissions: the first
// folder on the way it may not search, or the socket file it may not write,
// in words; empty when the permissions let it through.
std::string whatKeepsOut(const std::string& path, uid_t user, gid_t group);

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_OTHER_USER_H_
