#ifndef OSTREL_TOOLS_TAP_TAP_LOG_H_
#define OSTREL_TOOLS_TAP_TAP_LOG_H_

// The tap's log: one line per frame and one per event, in the order they
// are handed in, by any number of threads. A line reads
//   14:03:27.015 browser->host    48 B  {"type":"hello"}
//   14:03:27.016 host->browser    35 B  [status] {"type":"status",...}
//   14:03:27.016 -- host started (pid 4242)
// It only describes what passed; it never holds a frame back or alters it.
//
// Lines go into a bounded buffer that a thread of the log's own writes out,
// so a log nobody reads (a terminal on hold, a full disk) never slows the
// traffic: when the buffer is full, lines are left out and counted, and the
// count is written as soon as there is room again, and at the end. A log
// that fails for good is given up, silently.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/mutex.h"

namespace ostrel::tap {

enum class Direction { kBrowserToHost, kHostToBrowser, kHostToApp, kAppToHost };

std::string_view directionText(Direction direction);

// The line for one frame, without its line end. Frames from the host to the
// browser that are the host's own status messages are marked "[status]";
// `mark` (a few words) is shown in brackets before the payload.
std::string frameLine(std::chrono::system_clock::time_point when, Direction direction,
                      std::span<const std::uint8_t> payload, std::string_view mark = {});

// The line for an event ("host started", "app connection closed"), without
// its line end.
std::string eventLine(std::chrono::system_clock::time_point when, std::string_view text);

class TapLog {
 public:
  static constexpr std::size_t kDefaultCapacity = 1 << 20;

  // Takes `fd` (opened for appending, best non-blocking) and starts the
  // writer; `capacity` bounds the bytes waiting to be written.
  explicit TapLog(int fd, std::size_t capacity = kDefaultCapacity);
  // Stops as stop() does, and closes the descriptor.
  ~TapLog();
  TapLog(const TapLog&) = delete;
  TapLog& operator=(const TapLog&) = delete;

  void frame(Direction direction, std::span<const std::uint8_t> payload, std::string_view mark = {})
      EXCLUDES(mutex_);
  void event(std::string_view text) EXCLUDES(mutex_);

  // Writes out what is waiting, giving up after `deadline` if the log takes
  // nothing, and ends the writer; lines handed in afterwards are dropped.
  void stop(std::chrono::milliseconds deadline = std::chrono::milliseconds(1000)) EXCLUDES(mutex_);

 private:
  void add(std::string line) EXCLUDES(mutex_);
  std::string droppedNote() const REQUIRES(mutex_);
  void writeLoop() EXCLUDES(mutex_);
  // Writes `text` whole; false when the log has failed, or it is stopping
  // and its deadline has passed.
  bool writeOut(std::string_view text) EXCLUDES(mutex_);

  const int fd_;
  const std::size_t capacity_;
  Mutex mutex_;
  std::condition_variable_any wake_;
  std::string waiting_ GUARDED_BY(mutex_);
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::chrono::steady_clock::time_point giveUpAt_ GUARDED_BY(mutex_);
  std::thread writer_;
};

}  // namespace ostrel::tap

#endif  // OSTREL_TOOLS_TAP_TAP_LOG_H_
