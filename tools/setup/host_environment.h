#ifndef OSTREL_SETUP_HOST_ENVIRONMENT_H_
#define OSTREL_SETUP_HOST_ENVIRONMENT_H_

// The environment a running host really received, read from the system
// rather than guessed from the caller's: a registration may name a wrapper
// script that sets variables before it starts the host. Reads only.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::setup {

struct ReceivedEnvironment {
  std::vector<std::string> entries;  // "NAME=value", as the process got them
  pid_t pid = -1;                    // the process they were read from
  std::string program;               // what it runs, when known
  // The registered program did not replace itself with the host (a wrapper
  // without exec), so these are what its child received.
  bool fromChild = false;
};

// The environment of `pid` once it runs the host: its own when it has
// started no program (the registered program is the host, or a wrapper
// that exec'ed it, or the tap, which gives the host a socket of its own
// but has the real one in its environment), otherwise that of its newest
// descendant. Nothing where the system does not tell (no /proc).
std::optional<ReceivedEnvironment> receivedEnvironment(pid_t pid);

// The value of `name` in `environment`; nullptr when it is not set there.
const char* valueIn(const ReceivedEnvironment& environment, std::string_view name);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_HOST_ENVIRONMENT_H_
