#ifndef OSTREL_RELAY_RELAY_H_
#define OSTREL_RELAY_RELAY_H_

// Relay is the host's end of the link to the desktop application. It owns
// the Unix-domain socket connected to the application, the read source that
// watches it, the buffer in which application frames are reassembled, the
// last "hello" and "focus"/"blur" browser messages (replayed to a returning
// application), and the reconnection timer with the state last reported to
// the browser.
//
// Threads: forward(), start() and shutdown() run on the main thread;
// handleReadable() on readQueue; attemptReconnect() on the reconnection
// queue (and once, from start(), on the main thread). `lock` guards every
// mutable field and every resume, suspend and cancel of the timer. Whatever
// reaches standard output is written with `lock` held: the lock order is
// always `lock`, then the output lock.
//
// Every socket and standard-output write blocks with `lock` held, so a peer
// that stops reading stalls every relay operation until the write completes
// or fails. The relay never reports a failure in words: the browser learns
// about the connection only from status messages.
//
// Lifetime: made by create() and, in the host, kept until the process
// exits. The handlers it gives to its sources hold it weakly. Destroying it
// (tests do) closes the connection and stops its queues.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "channel/frame.h"
#include "channel/payload.h"
#include "channel/std_streams.h"
#include "platform/mutex.h"
#include "platform/read_source.h"
#include "platform/serial_queue.h"
#include "platform/thread_annotations.h"
#include "platform/timer_source.h"
#include "relay/incoming_frames.h"

namespace ostrel {

struct RelayOptions {
  std::string socketPath;
  std::int64_t maxMessageLength = kMaxMessageLength;
  // Reconnection timer: first tick one interval after start(), then every
  // interval, up to `reconnectLeeway` late.
  std::chrono::nanoseconds reconnectInterval = std::chrono::seconds(2);
  std::chrono::nanoseconds reconnectLeeway = std::chrono::milliseconds(500);
  // Where frames for the browser go.
  int outputFd = kStandardOutput;
};

class Relay : public std::enable_shared_from_this<Relay> {
  struct PrivateTag {};

 public:
  static std::shared_ptr<Relay> create(RelayOptions options);
  Relay(PrivateTag, RelayOptions options);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Schedules the reconnection timer and makes one connection attempt on
  // the calling thread, which writes the first status message. Once, before
  // the first forward().
  void start() EXCLUDES(lock);

  // Hands one browser message to the application: caches it when its type
  // is "hello", "focus" or "blur", connects on demand (without replay) when
  // disconnected, and writes its frame. A message that cannot be sent is
  // dropped; only what the cache kept of it survives.
  void forward(Payload payload, std::optional<std::string_view> messageType) EXCLUDES(lock);

  // The end of the host: cancels the timer and closes the connection,
  // writing no status message. No tick connects after it.
  void shutdown() EXCLUDES(lock);

 private:
  friend class RelayTestPeer;

  bool openConnection() REQUIRES(lock);
  void closeConnection() REQUIRES(lock);
  void handleReadable(int descriptor) EXCLUDES(lock);
  void attemptReconnect() EXCLUDES(lock);
  void syncState() REQUIRES(lock);
  void dropConnection() REQUIRES(lock);

  const RelayOptions options_;

  Mutex lock;
  int fd GUARDED_BY(lock) = -1;                            // -1 while disconnected
  std::unique_ptr<ReadSource> reader GUARDED_BY(lock);     // present exactly while connected
  IncomingFrames incoming GUARDED_BY(lock);                // empty while disconnected
  const std::unique_ptr<SerialQueue> readQueue;            // "ostrel.native-host.read"
  std::optional<Payload> hello GUARDED_BY(lock);           // the last "hello"
  std::optional<Payload> latestState GUARDED_BY(lock);     // the last "focus" or "blur"
  std::optional<bool> reportedConnected GUARDED_BY(lock);  // absent until the first report
  const std::unique_ptr<TimerSource> timer PT_GUARDED_BY(lock);
  bool timerRunning GUARDED_BY(lock) = false;  // true exactly while timer is resumed
  bool shuttingDown GUARDED_BY(lock) = false;
};

}  // namespace ostrel

#endif  // OSTREL_RELAY_RELAY_H_
