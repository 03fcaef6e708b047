#ifndef OSTREL_PLATFORM_WOULD_BLOCK_H_
#define OSTREL_PLATFORM_WOULD_BLOCK_H_

// Telling a non-blocking descriptor's "not now" from a failure, after
// read(2) or write(2) returned -1.

#include <cerrno>

namespace ostrel {

// True when the call failed only because it would have had to wait.
inline bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WOULD_BLOCK_H_
