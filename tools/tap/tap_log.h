#ifndef OSTREL_TOOLS_TAP_TAP_LOG_H_
#define OSTREL_TOOLS_TAP_TAP_LOG_H_

// The tap's log: one line per frame and one per event, written whole to a
// file or a terminal that any number of threads share. A line reads
//   14:03:27.015 browser->host    48 B  {"type":"hello"}
//   14:03:27.016 host->browser    35 B  [status] {"type":"status",...}
//   14:03:27.016 -- host started (pid 4242)
// It only describes what passed; it never holds a frame back or alters it.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/mutex.h"

namespace ostrel::tap {

enum class Direction { kBrowserToHost, kHostToBrowser, kHostToApp, kAppToHost };

std::string_view directionText(Direction direction);

// The line for one frame, without its line end. Frames from the host to the
// browser that are the host's own status messages are marked "[status]".
std::string frameLine(std::chrono::system_clock::time_point when, Direction direction,
                      std::span<const std::uint8_t> payload);

// The line for an event ("host started", "app connection closed"), without
// its line end.
std::string eventLine(std::chrono::system_clock::time_point when, std::string_view text);

class TapLog {
 public:
  // Takes `fd` (opened for appending); never closes it.
  explicit TapLog(int fd) : fd_(fd) {}

  void frame(Direction direction, std::span<const std::uint8_t> payload);
  void event(std::string_view text);

 private:
  void writeLine(std::string line);

  Mutex mutex_;
  int fd_ GUARDED_BY(mutex_);
};

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_TAP_LOG_H_
