#include <poll.h>

#include "platform/hang_up.h"

namespace ostrel {

// POLLRDHUP: the peer of a stream socket has shut down writing or closed.
// A pipe whose writers are all gone raises POLLHUP, which comes unasked.
std::optional<short> inputHangUpEvents() { return POLLRDHUP; }

}  // namespace ostrel
