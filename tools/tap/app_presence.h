#ifndef OSTREL_TOOLS_TAP_APP_PRESENCE_H_
#define OSTREL_TOOLS_TAP_APP_PRESENCE_H_

// Whether an application listens on a Unix-domain socket path, found out
// without connecting to it, so that the application sees no connection the
// host did not make. Linux reads the system's table of sockets; other
// systems, and Linux without /proc, only see whether a socket file lies at
// the path, so a stale socket counts as a listener there. A socket file
// that belongs to another user counts as none: the host would not talk to
// what serves it.

#include <string>

namespace ostrel::tap {

bool appListening(const std::string& path);

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_APP_PRESENCE_H_
