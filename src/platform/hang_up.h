#ifndef OSTREL_PLATFORM_HANG_UP_H_
#define OSTREL_PLATFORM_HANG_UP_H_

// Noticing that the browser has closed its end of the host's input (the
// writing end of a pipe, or its side of a socket, shut down or closed)
// without reading from it, so that nothing still waiting there is taken.

#include <optional>

namespace ostrel {

// The events to ask poll(2) for on the host's input so that it reports such
// a hang-up, and nothing else: a pipe reports POLLHUP unasked, a socket
// whose peer stopped writing reports only what is asked for. Nothing where
// poll cannot tell a hang-up apart from data waiting to be read.
std::optional<short> inputHangUpEvents();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_HANG_UP_H_
