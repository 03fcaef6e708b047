#ifndef OSTREL_TOOLS_APPCHECK_OWN_CONNECTION_H_
#define OSTREL_TOOLS_APPCHECK_OWN_CONNECTION_H_

// A connection the checker makes to the application itself, for what no
// host can be made to do on cue: frames of its own choosing, a connection
// that sends nothing, one that ends inside a frame, one that never reads.
// Non-blocking and served by the event loop: bytes queued with send() are
// written as the application takes them, and what it sends back is kept.
// It judges nothing itself.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "event_loop.h"
#include "tools/common/bytes.h"

namespace ostrel::appcheck {

using common::Bytes;

// A blocking, close-on-exec connection to `path`, or -1 with the reason in
// `why` and errno from connect(2).
int connectTo(const std::string& path, std::string& why);

// A close-on-exec socket of the checker's own listening at `path` (taking
// no lock, as another program's), or -1 with the reason in `why`.
int listenAt(const std::string& path, std::string& why);

class OwnConnection : public Watched {
 public:
  // Connects at once; see connected().
  OwnConnection(EventLoop& loop, const std::string& path);
  ~OwnConnection() override;
  OwnConnection(const OwnConnection&) = delete;
  OwnConnection& operator=(const OwnConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Why it did not connect, and connect's errno.
  const std::string& connectError() const { return connectError_; }
  int connectErrno() const { return connectErrno_; }

  // Queues whole frames (or any bytes) for the application.
  void send(std::span<const std::uint8_t> bytes);
  void sendFrame(std::string_view payload) { send(common::frameOf(payload)); }
  std::size_t taken() const { return taken_; }
  std::size_t queuedBytes() const { return queued_.size(); }
  bool allTaken() const { return taken_ == queued_.size(); }

  // Whether the application ended the connection (end of stream, a reset,
  // or a write that failed), and how, in words.
  bool ended() const { return ended_; }
  const std::string& endedHow() const { return endedHow_; }

  // What the application sent, kept up to 1 MiB and 4 bytes.
  const Bytes& received() const { return received_; }
  // Stops reading what the application sends (as a peer that does not
  // read), and starts again.
  void stopReading() { reading_ = false; }
  void resumeReading() { reading_ = true; }

  // Closes the connection where a frame ends: a frame written in part is
  // first written whole, for up to `timeout`.
  void closeBetweenFrames(std::chrono::milliseconds timeout);
  // Closes it now, wherever the bytes written stop.
  void close();

  void watch(std::vector<pollfd>& into) override;
  void serve(std::span<const pollfd> mine) override;

 private:
  void write();
  void read();
  void end(const std::string& how);

  EventLoop& loop_;
  int fd_ = -1;
  std::string connectError_;
  int connectErrno_ = 0;
  Bytes queued_;
  std::size_t taken_ = 0;
  std::vector<std::size_t> frameEnds_;  // where each frame queued ends
  Bytes received_;
  bool reading_ = true;
  bool ended_ = false;
  std::string endedHow_;
};

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_OWN_CONNECTION_H_
