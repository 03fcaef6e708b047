#ifndef OSTREL_RELAY_RELAY_H_
#define OSTREL_RELAY_RELAY_H_

// Relay is the host's end of the link to the desktop application. It owns
// the Unix-domain socket connected to the application, the read source that
// watches it, the buffer in which application frames are reassembled, the
// last "hello" and "focus"/"blur" browser messages (replayed to a returning
// application), and the reconnection timer with the state last reported to
// the browser. It does not read standard input and does not parse messages.
//
// Threads: forward(), start() and shutdown() run on the main thread;
// handleReadable() on readQueue; attemptReconnect() on the reconnection
// queue (and once, from start(), on the main thread). `lock` guards every
// mutable field and every resume, suspend and cancel of the timer. Whatever
// reaches standard output is written with `lock` held: the lock order is
// always `lock`, then the output lock.
//
// Writes to the application never hold `lock` while they wait: the socket is
// non-blocking, and while its buffer is full the writer lets go of `lock`
// and waits for room, so the reader goes on relaying what the application
// sends meanwhile (an application may write a whole frame before it reads).
// One write is under way at a time; forward() and attemptReconnect() wait
// for it before they start. The first whole frame that arrives on a
// connection the browser has not yet been told about shows that the
// connection is up: "connected" is written at that moment, before the
// frame, even while the replay or the message that made the connection is
// still being written. Application frames therefore never wait for the
// host's own write, and what is kept of them is at most one partial frame.
// Writes to standard output wait with `lock` held, so a browser that stops
// reading stalls the relay; standard output's mode is never changed. Once
// the host's input has hung up, a write to the application waits one
// second longer at most and is then given up. Once a write to the browser
// has failed part-way through a frame, nothing more is written there.
//
// The relay never reports a failure in words: the browser learns about the
// connection only from status messages.
//
// Lifetime: made by create() and, in the host, kept until the process
// exits. The handlers it gives to its sources hold it weakly. Destroying it
// (tests do) closes the connection and stops its queues.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "channel/frame.h"
#include "channel/payload.h"
#include "channel/std_streams.h"
#include "platform/event_thread.h"
#include "platform/mutex.h"
#include "platform/read_source.h"
#include "platform/thread_annotations.h"
#include "platform/timer_source.h"
#include "relay/incoming_frames.h"

namespace ostrel {

struct RelayOptions {
  std::string socketPath;
  std::int64_t maxMessageLength = kMaxMessageLength;
  // Reconnection timer: first tick one interval after start(), then every
  // interval.
  std::chrono::nanoseconds reconnectInterval = std::chrono::seconds(2);
  // Where frames for the browser go.
  int outputFd = kStandardOutput;
  // The browser's end of the host's input, watched for a hang-up while a
  // write to the application waits; -1 watches nothing.
  int inputFd = kStandardInput;
};

class Relay : public std::enable_shared_from_this<Relay> {
  struct PrivateTag {};

 public:
  static std::shared_ptr<Relay> create(RelayOptions options);
  Relay(PrivateTag, RelayOptions options);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Starts the relay's two threads, schedules the reconnection timer and
  // makes one connection attempt on the calling thread, which writes the
  // first status message. Once, before the first forward(). False, with
  // nothing written, when the threads cannot be started.
  bool start() EXCLUDES(lock);

  // Hands one browser message to the application: caches it when its type
  // is "hello", "focus" or "blur", connects on demand (without replay) when
  // disconnected, and writes its frame. A message that cannot be sent is
  // dropped; only what the cache kept of it survives.
  void forward(Payload payload, std::optional<std::string_view> messageType) EXCLUDES(lock);

  // The end of the host: cancels the timer and closes the connection,
  // writing no status message. Nothing connects or reports after it.
  void shutdown() EXCLUDES(lock);

 private:
  friend class RelayTestPeer;

  // Connection.
  bool openConnection() REQUIRES(lock);
  void closeConnection() REQUIRES(lock);
  void dropConnection() REQUIRES(lock);

  // Writing to the application.
  void waitForOtherWriter() REQUIRES(lock);
  void finishWriting() REQUIRES(lock);
  bool send(std::span<const std::uint8_t> frame) REQUIRES(lock);
  bool writeToApp(std::span<const std::uint8_t> frame) REQUIRES(lock);
  bool waitUntilWritable() REQUIRES(lock);
  void readWhatIsLeft() REQUIRES(lock);

  // Reading from the application, and writing to the browser.
  void handleReadable(int descriptor) EXCLUDES(lock);
  bool relayCompleteFrames() REQUIRES(lock);
  void writeToBrowser(std::span<const std::uint8_t> frames) REQUIRES(lock);

  // Reconnection and status.
  void attemptReconnect() EXCLUDES(lock);
  void syncState() REQUIRES(lock);
  void stopTimer() REQUIRES(lock);

  // Constant after construction.
  const RelayOptions options_;
  const std::shared_ptr<EventThread> readQueue;  // "ostrel.native-host.read"

  Mutex lock;
  // Protected by `lock`: the connection.
  int fd GUARDED_BY(lock) = -1;                         // -1 while disconnected
  std::unique_ptr<ReadSource> reader GUARDED_BY(lock);  // present exactly while connected
  IncomingFrames incoming GUARDED_BY(lock);             // empty while disconnected
  std::uint64_t connections GUARDED_BY(lock) = 0;       // counts openings; tells a connection
                                                        // from a later one on the same number
  // Protected by `lock`: the write under way, which may wait without `lock`.
  bool writing GUARDED_BY(lock) = false;
  bool writerWaiting GUARDED_BY(lock) = false;  // in poll, to be woken if the connection closes
  std::condition_variable writingDone;          // signalled, under `lock`, when writing ends
  // When the browser was first seen to have closed the host's input while
  // a write to the application waited; such writes give up soon after it.
  std::optional<std::chrono::steady_clock::time_point> inputClosedAt GUARDED_BY(lock);
  // Protected by `lock`: a write to the browser failed part-way through a
  // frame, and nothing more may follow it.
  bool browserCut GUARDED_BY(lock) = false;
  // Protected by `lock`: the cache, the timer and the reports.
  std::optional<Payload> hello GUARDED_BY(lock);           // the last "hello"
  std::optional<Payload> latestState GUARDED_BY(lock);     // the last "focus" or "blur"
  std::optional<bool> reportedConnected GUARDED_BY(lock);  // absent until the first report
  const std::unique_ptr<TimerSource> timer PT_GUARDED_BY(lock);
  // Whether syncState() has the timer resumed. stopTimer() resumes a
  // suspended timer once more, only to cancel it, and leaves this false.
  bool timerRunning GUARDED_BY(lock) = false;
  bool shuttingDown GUARDED_BY(lock) = false;
};

}  // namespace ostrel

#endif  // OSTREL_RELAY_RELAY_H_
