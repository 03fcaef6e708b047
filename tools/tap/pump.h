#ifndef OSTREL_TOOLS_TAP_PUMP_H_
#define OSTREL_TOOLS_TAP_PUMP_H_

// Copies one byte stream to another exactly as it comes, chunk by chunk,
// and logs every whole frame that has passed. What is copied never waits
// for a frame to be complete, and a stream that stops being frames (a
// header over 1 MiB) is still copied, with one line saying so. It neither
// opens nor closes the descriptors.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tap_log.h"

namespace ostrel::tap {

enum class PumpEnd { kEndOfInput, kReadFailed, kWriteFailed, kStopped };

struct PumpResult {
  PumpEnd end = PumpEnd::kEndOfInput;
  std::size_t bytes = 0;
};

// Who watches a pump; told on the pump's thread, in this order for each
// chunk, before the chunk is passed on.
class PumpWatcher {
 public:
  virtual ~PumpWatcher() = default;
  // Bytes wait at the source, and the next read takes them.
  virtual void reading() {}
  // A chunk was read; the frames it completes are logged next.
  virtual void beforeLogging() {}
  // The mark a frame gets in the log (see frameLine); empty for none.
  virtual std::string markFor(std::span<const std::uint8_t> /*payload*/) { return {}; }
  // The chunk's frames are logged; it is passed on next.
  virtual void logged() {}
  // The chunk is passed on.
  virtual void passed() {}
};

// Blocks until `from` ends or a transfer fails. When `stop` is 0 or more,
// a byte (or end) on it stops the pump once what `from` holds right now
// has been copied: `from` must then be non-blocking-safe to poll.
PumpResult pump(int from, int to, Direction direction, TapLog& log, int stop = -1,
                PumpWatcher* watcher = nullptr);

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_PUMP_H_
