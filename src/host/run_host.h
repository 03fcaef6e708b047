#ifndef OSTREL_HOST_RUN_HOST_H_
#define OSTREL_HOST_RUN_HOST_H_

#include "host/open_app.h"
#include "host/settings.h"

namespace ostrel {

// The host's life: ignores SIGPIPE, creates and starts the relay, then reads
// browser messages from standard input one at a time, in order, launching
// the application on "open_app" and forwarding everything else. When
// standard input yields no further message (end of input, a read error or a
// frame over the limit), it stops the relay and exits with status 0.
[[noreturn]] void runHost(const Settings& settings, const AppLaunch& launch);

}  // namespace ostrel

#endif  // OSTREL_HOST_RUN_HOST_H_
