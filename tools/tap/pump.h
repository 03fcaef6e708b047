#ifndef OSTREL_TOOLS_TAP_PUMP_H_
#define OSTREL_TOOLS_TAP_PUMP_H_

// Copies one byte stream to another exactly as it comes, chunk by chunk,
// and logs every whole frame that has passed. What is copied never waits
// for a frame to be complete, and a stream that stops being frames (a
// header over 1 MiB) is still copied, with one line saying so. It neither
// opens nor closes the descriptors.

#include <cstddef>

#include "tap_log.h"

namespace ostrel::tap {

enum class PumpEnd { kEndOfInput, kReadFailed, kWriteFailed, kStopped };

struct PumpResult {
  PumpEnd end = PumpEnd::kEndOfInput;
  std::size_t bytes = 0;
};

// Blocks until `from` ends or a transfer fails. When `stop` is 0 or more,
// a byte (or end) on it stops the pump once what `from` holds right now
// has been copied: `from` must then be non-blocking-safe to poll.
PumpResult pump(int from, int to, Direction direction, TapLog& log, int stop = -1);

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_PUMP_H_
