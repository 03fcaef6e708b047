// Reading the application socket: reassembling frames and relaying them to
// the browser.
#include <unistd.h>

#include <cerrno>

#include "relay/relay.h"

namespace ostrel {
namespace {

constexpr std::size_t kReadChunk = 65536;

}  // namespace

void Relay::handleReadable(int descriptor) {
  MutexLock held(lock);
  if (descriptor != fd) return;  // a connection that has been closed meanwhile

  const std::span<std::uint8_t> space = incoming.tail(kReadChunk);
  const ssize_t n = ::read(descriptor, space.data(), space.size());
  if (n < 0) {
    if (errno != EINTR && errno != EAGAIN) dropConnection();
    return;
  }
  if (n == 0) {
    dropConnection();  // a partial frame still in `incoming` is discarded
    return;
  }
  incoming.commit(static_cast<std::size_t>(n));

  for (;;) {
    const IncomingFrames::Front front = incoming.front(options_.maxMessageLength);
    if (front.status == IncomingFrames::Status::kIncomplete) return;
    if (front.status == IncomingFrames::Status::kTooLong) {
      dropConnection();  // the frame and everything after it are discarded
      return;
    }
    writeFrame(front.frame, options_.outputFd);
    incoming.pop();
  }
}

}  // namespace ostrel
