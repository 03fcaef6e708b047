#include "relay/relay.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ostrel/app.h"
#include "platform/descriptors.h"
#include "platform/would_block.h"
#include "platform/writable_wait.h"
#include "relay/status_message.h"

namespace ostrel {
namespace {

using Clock = std::chrono::steady_clock;

// The longest path that fits sun_path with its terminating zero byte on
// every system the host runs on.
constexpr std::size_t kMaxSocketPathBytes = OSTREL_APP_MAX_SOCKET_PATH;

// One read of the application socket takes at most this much.
constexpr std::size_t kReadChunk = 65536;

// How long what is left in a connection whose write failed is read before
// it is dropped. An application that has closed left a finite rest, read in
// far less whatever its socket buffer; the bound is for a peer that stopped
// reading but goes on writing.
constexpr std::chrono::milliseconds kLeftoverTime{1000};

// How long a write to an application that does not read may still wait
// once the browser has closed the host's input: the host is about to end,
// and browsers end a host that lingers after a few seconds.
constexpr std::chrono::milliseconds kInputClosedGrace{1000};

}  // namespace

std::shared_ptr<Relay> Relay::create(RelayOptions options) {
  return std::make_shared<Relay>(PrivateTag{}, std::move(options));
}

Relay::Relay(PrivateTag, RelayOptions options)
    : options_(std::move(options)),
      readQueue(std::make_shared<EventThread>("ostrel.native-host.read")),
      timer(std::make_unique<TimerSource>(
          std::make_shared<EventThread>("ostrel.native-host.reconnect"))) {}

// Only tests destroy a relay; the host ends with it alive.
Relay::~Relay() {
  MutexLock held(lock);
  if (!shuttingDown) stopTimer();
  closeConnection();
}

void Relay::stopTimer() {
  shuttingDown = true;
  if (!timerRunning) timer->resume();  // resumed and cancelled in balance
  timer->cancel();
}

// ---------------------------------------------------------------------------
// Connection

bool Relay::openConnection() {
  const std::string& path = options_.socketPath;
  // An empty path must fail: on Linux, a zero-filled address names an
  // abstract socket that any local process could bind.
  if (path.empty() || path.size() > kMaxSocketPathBytes) return false;

  const int socket = openUnixStreamSocket();
  if (socket < 0) return false;
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  // The socket is non-blocking: a listener whose queue is full refuses at
  // once (EAGAIN on Linux, where a blocking connect would wait for room;
  // ECONNREFUSED on Apple systems, blocking or not) instead of holding the
  // relay, and the timer tries again.
  // Only a server run by the host's own user is trusted with the
  // extension's messages, and with speaking to it.
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      socketPeerUserId(socket) != ::geteuid() || !readQueue->start()) {
    ::close(socket);
    return false;
  }

  fd = socket;
  ++connections;
  reader = std::make_unique<ReadSource>(socket, readQueue);
  reader->setEventHandler([relay = weak_from_this(), socket] {
    if (auto strong = relay.lock()) strong->handleReadable(socket);
  });
  reader->setCancelHandler([socket] { ::close(socket); });
  reader->resume();
  return true;
}

void Relay::closeConnection() {
  if (writerWaiting && fd >= 0) {
    // Wakes the waiting writer, whatever the application does.
    ::shutdown(fd, SHUT_RDWR);
  }
  if (reader) {
    reader->cancel();  // its cancel handler closes the descriptor
    reader.reset();
  } else if (fd >= 0) {
    ::close(fd);
  }
  fd = -1;
  incoming.clear();
}

// Frames the application completed before the connection went are relayed
// first (the browser told of the connection first, if it had not been),
// then the browser is told that the connection is gone.
void Relay::dropConnection() {
  if (fd >= 0) relayCompleteFrames();
  closeConnection();
  syncState();
}

// ---------------------------------------------------------------------------
// Writing to the application

void Relay::waitForOtherWriter() {
  while (writing) lock.wait(writingDone);
}

void Relay::finishWriting() {
  writing = false;
  writingDone.notify_all();
}

// Writes one frame; when that fails on the connection it was started on,
// drops the connection after relaying what the application had sent. False
// when the frame did not go out whole.
bool Relay::send(std::span<const std::uint8_t> frame) {
  const std::uint64_t connection = connections;
  if (writeToApp(frame)) return true;
  if (fd >= 0 && connections == connection) {
    readWhatIsLeft();
    dropConnection();
  }
  return false;
}

bool Relay::writeToApp(std::span<const std::uint8_t> frame) {
  const int socket = fd;
  const std::uint64_t connection = connections;
  return writeAll(socket, frame, [this, connection]() NO_THREAD_SAFETY_ANALYSIS {
    // Runs inside writeAll, with `lock` held. Never writes on to a
    // descriptor closed, and perhaps reused, meanwhile.
    return waitUntilWritable() && fd >= 0 && connections == connection;
  });
}

// Lets go of `lock` while the socket's buffer is full, so that the reader
// can go on. The wait is on a duplicate of the descriptor, which stays
// valid even if the connection is closed meanwhile.
bool Relay::waitUntilWritable() {
  const int watched = duplicateDescriptor(fd);
  if (watched < 0) return false;
  InputWatch input{.fd = options_.inputFd, .grace = kInputClosedGrace, .closedAt = inputClosedAt};
  writerWaiting = true;
  lock.unlock();
  const bool writable = waitWritable(watched, input);
  lock.lock();
  writerWaiting = false;
  if (input.closedAt && !inputClosedAt) inputClosedAt = input.closedAt;
  ::close(watched);
  return writable;
}

// After a failed write: what the application sent before it went is still
// in the socket. Reads it to its end, or until nothing more is there (the
// socket never blocks), relaying every complete frame as it goes, so that
// no more than one partial frame is ever kept; a peer still writing is read
// for kLeftoverTime at most.
void Relay::readWhatIsLeft() {
  const Clock::time_point deadline = Clock::now() + kLeftoverTime;
  do {
    const std::span<std::uint8_t> space = incoming.tail(kReadChunk);
    const ssize_t n = ::read(fd, space.data(), space.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    incoming.commit(static_cast<std::size_t>(n));
    if (!relayCompleteFrames()) return;  // an over-long frame ends the connection there
  } while (Clock::now() < deadline);
}

void Relay::forward(Payload payload, std::optional<std::string_view> messageType) {
  MutexLock held(lock);
  waitForOtherWriter();
  if (fd < 0) openConnection();
  if (fd >= 0) {
    writing = true;
    send(payload.frame());
    finishWriting();
  }
  if (messageType == "hello") {
    hello = std::move(payload);
  } else if (messageType == "focus" || messageType == "blur") {
    latestState = std::move(payload);
  }
  syncState();
}

// ---------------------------------------------------------------------------
// Reading from the application

void Relay::handleReadable(int descriptor) {
  MutexLock held(lock);
  if (descriptor != fd) return;  // a connection that has been closed meanwhile

  const std::span<std::uint8_t> space = incoming.tail(kReadChunk);
  const ssize_t n = ::read(descriptor, space.data(), space.size());
  if (n < 0) {
    if (errno != EINTR && !wouldBlock()) dropConnection();
    return;
  }
  if (n == 0) {
    dropConnection();  // a partial frame still in `incoming` is discarded
    return;
  }
  incoming.commit(static_cast<std::size_t>(n));
  if (!relayCompleteFrames()) dropConnection();  // the over-long frame and all after it
}

// Writes every complete frame at the front of `incoming` to the browser, in
// order and in one write. False when a frame declares more than the limit;
// it and everything after it stay where they are.
//
// A whole frame from the application shows that the connection is up, even
// while the replay or the message that made it is still being written: the
// browser is told so first, and what follows is relayed as on any live
// connection. Holding the frame instead would stop the reading that an
// application writing before it reads needs to go on.
bool Relay::relayCompleteFrames() {
  const IncomingFrames::CompleteRun run = incoming.completeFrames(options_.maxMessageLength);
  if (!run.frames.empty()) {
    if (reportedConnected != true) syncState();
    writeToBrowser(run.frames);
    incoming.consume(run.frames.size());
  }
  return run.next != IncomingFrames::Status::kTooLong;
}

// Standard output stays in the mode the host was given (blocking, as
// browsers hand it over), so a browser that does not read makes this wait
// with `lock` held; what ends a host whose browser has gone meanwhile lies
// outside the relay. A frame cut short by a failed write is the last thing
// written: whatever followed would be read as the rest of it.
void Relay::writeToBrowser(std::span<const std::uint8_t> frames) {
  if (browserCut) return;
  const std::size_t written = writeFrame(frames, options_.outputFd);
  browserCut = written != 0 && written != frames.size();
}

// ---------------------------------------------------------------------------
// Reconnection and status

bool Relay::start() {
  {
    MutexLock held(lock);  // nobody else uses the relay yet; the timer is guarded all the same
    // Both threads from the outset: a later moment without threads (a
    // process limit reached by launched programs, say) can then take away
    // neither the reading nor the reconnection.
    if (!readQueue->start() || !timer->start()) return false;
    timer->schedule(options_.reconnectInterval, options_.reconnectInterval);
    timer->setEventHandler([relay = weak_from_this()] {
      if (auto strong = relay.lock()) strong->attemptReconnect();
    });
  }
  attemptReconnect();
  return true;
}

void Relay::attemptReconnect() {
  MutexLock held(lock);
  waitForOtherWriter();
  if (shuttingDown) return;  // a tick that waited for the lock while the host stopped
  if (fd < 0 && openConnection()) {
    // The cached payloads stay put meanwhile: forward() waits for this
    // write before it replaces them.
    writing = true;
    for (const std::optional<Payload>* cached : {&hello, &latestState}) {
      if (cached->has_value() && !send((*cached)->frame())) break;  // the next attempt replays all
    }
    finishWriting();
  }
  syncState();
}

void Relay::syncState() {
  if (shuttingDown) return;
  const bool connected = fd >= 0;
  if (!connected && !timerRunning) {
    timerRunning = timer->resume();  // its thread runs since start()
  } else if (connected && timerRunning) {
    timer->suspend();
    timerRunning = false;
  }
  if (reportedConnected == connected) return;
  reportedConnected = connected;  // kept even when the write below fails
  writeToBrowser(statusMessage(connected).frame());
}

void Relay::shutdown() {
  MutexLock held(lock);
  stopTimer();
  closeConnection();
}

}  // namespace ostrel
