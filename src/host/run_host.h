#ifndef OSTREL_HOST_RUN_HOST_H_
#define OSTREL_HOST_RUN_HOST_H_

#include "host/open_app.h"
#include "host/settings.h"

namespace ostrel {

// The host's life: ignores SIGPIPE, lets the system reap launched programs,
// creates and starts the relay, then reads browser messages from standard
// input one at a time, in order, launching the application on "open_app"
// and forwarding everything else. When standard input yields no further
// message (end of input, a read error or a frame over the limit), it stops
// the relay and exits with status 0. When it cannot start at all (the
// relay's threads refused), it exits with status 1 having written nothing.
[[noreturn]] void runHost(const Settings& settings, const AppLaunch& launch);

}  // namespace ostrel

#endif  // OSTREL_HOST_RUN_HOST_H_
