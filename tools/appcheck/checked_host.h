#ifndef OSTREL_TOOLS_APPCHECK_CHECKED_HOST_H_
#define OSTREL_TOOLS_APPCHECK_CHECKED_HOST_H_

// One real host, started as a browser starts it, with OSTREL_SOCKET_PATH
// pointing where the checker says. It plays the browser's side: bytes
// queued with send() are written to the host's input as the pipe takes
// them, and its output is cut into frames as it comes, with the host's own
// status messages kept apart from what the application sent. Frames are
// read here independently of the host's code. It judges nothing itself.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "event_loop.h"
#include "tools/common/bytes.h"
#include "tools/common/child_process.h"
#include "tools/common/frame_splitter.h"

namespace ostrel::appcheck {

using common::Bytes;

class CheckedHost : public Watched {
 public:
  // Starts the host at once and registers it with `loop`; see startError().
  CheckedHost(EventLoop& loop, const std::string& host, const std::string& socketPath);
  ~CheckedHost() override;
  CheckedHost(const CheckedHost&) = delete;
  CheckedHost& operator=(const CheckedHost&) = delete;

  // Why it did not start; empty when it did.
  const std::string& startError() const { return startError_; }

  // Queues bytes (whole frames) for the host's input.
  void send(std::span<const std::uint8_t> bytes);
  void sendFrame(std::string_view payload) { send(common::frameOf(payload)); }
  // Whether the pipe has taken everything queued so far.
  bool allTaken() const { return taken_ == queued_.size(); }
  std::size_t taken() const { return taken_; }
  std::size_t queuedBytes() const { return queued_.size(); }

  // The host's status reports so far, "connected" or "unavailable", in order.
  const std::vector<std::string>& statuses() const { return statuses_; }
  // Whether the status report number `index` (from 0) has come and says `app`.
  bool reported(std::size_t index, std::string_view app) const;
  // Whether "unavailable" came after report number `index`.
  bool droppedAfter(std::size_t index) const;

  // What the application sent, as relayed to the browser.
  std::size_t appFrames() const { return appFrames_; }
  std::uint64_t appBytes() const { return appBytes_; }
  const std::string& firstAppFrame() const { return firstAppFrame_; }
  // The last few payloads the application sent, the latest last.
  const std::deque<Bytes>& lastAppFrames() const { return lastAppFrames_; }

  // Whatever the host did that a host must not: bytes that are not frames,
  // text on standard error.
  std::string misbehaviour() const;

  // Closes the host's input as a browser does, and waits for it to end.
  // False when it did not end in time (it is killed then).
  bool finish(milliseconds timeout);

  void watch(std::vector<pollfd>& into) override;
  void serve(std::span<const pollfd> mine) override;

 private:
  void readOutput();
  void readErrors();
  void writeInput();
  void takeFrames();

  EventLoop& loop_;
  common::ChildProcess child_;
  std::string startError_;
  Bytes queued_;
  std::size_t taken_ = 0;
  common::FrameSplitter frames_;
  bool outputEnded_ = false;
  bool errorsEnded_ = false;
  std::vector<std::string> statuses_;
  std::size_t appFrames_ = 0;
  std::uint64_t appBytes_ = 0;
  std::string firstAppFrame_;
  std::deque<Bytes> lastAppFrames_;
  std::string errorText_;
};

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_CHECKED_HOST_H_
