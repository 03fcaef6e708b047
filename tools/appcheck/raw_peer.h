#ifndef OSTREL_TOOLS_APPCHECK_RAW_PEER_H_
#define OSTREL_TOOLS_APPCHECK_RAW_PEER_H_

// Connections the checker makes itself, for what no host can be made to
// do on cue: one that sends nothing and closes (as the setup tool's doctor
// probes), one that ends inside a frame (as a host killed by its browser),
// and one from a process of another user.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "event_loop.h"

namespace ostrel::appcheck {

// A blocking, close-on-exec connection to `path`, or -1 with the reason in
// `why` and errno from connect(2).
int connectTo(const std::string& path, std::string& why);

// Connects to `path` and writes `bytes` (maybe none), then closes. False
// with the reason in `why` when that could not be done.
bool connectWriteClose(const std::string& path, std::string_view bytes, std::string& why);

struct OtherUserTry {
  enum Kind {
    kRefused,      // the connection was closed, nothing answered
    kAnswered,     // the application sent something back
    kKeptOpen,     // it neither answered nor closed in time
    kUnreachable,  // the connect itself failed (the file system kept the user out)
    kNotTried,     // the checker could not take the other user's identity
  } kind = kNotTried;
  std::string detail;  // in words
};

// From a child process that takes `user`'s identity (keeping root's access
// to files, where the system allows, so that the application's own check
// is what decides): connects to `path`, writes `frame` and waits up to
// `timeout` for the application to close the connection, serving `loop`
// meanwhile. Needs root.
OtherUserTry tryAsOtherUser(EventLoop& loop, const std::string& path, uid_t user, gid_t group,
                            std::string_view frame, std::chrono::milliseconds timeout);

// Takes `user`'s and `group`'s identity for connecting, keeping root's
// access to files where the system can (Linux's file-system ids). In the
// child only. Returns what was done, in words, or nothing on failure.
bool becomePeer(uid_t user, gid_t group, std::string& how);

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_RAW_PEER_H_
