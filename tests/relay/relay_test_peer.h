#ifndef OSTREL_TESTS_RELAY_RELAY_TEST_PEER_H_
#define OSTREL_TESTS_RELAY_RELAY_TEST_PEER_H_

// Lets relay tests look at a relay's fields under its lock, and call the
// handlers that only the relay's sources call otherwise.

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/descriptors.h"
#include "relay/relay.h"
#include "support/test_support.h"

namespace ostrel {

class RelayTestPeer {
 public:
  explicit RelayTestPeer(std::shared_ptr<Relay> relay) : relay_(std::move(relay)) {}

  int fd() const {
    MutexLock held(relay_->lock);
    return relay_->fd;
  }
  std::size_t incomingSize() const {
    MutexLock held(relay_->lock);
    return relay_->incoming.size();
  }
  bool timerRunning() const {
    MutexLock held(relay_->lock);
    return relay_->timerRunning;
  }
  std::optional<std::string> hello() const {
    MutexLock held(relay_->lock);
    return relay_->hello ? std::optional<std::string>(relay_->hello->text()) : std::nullopt;
  }
  std::optional<std::string> latestState() const {
    MutexLock held(relay_->lock);
    if (!relay_->latestState) return std::nullopt;
    return std::string(relay_->latestState->text());
  }
  void handleReadable(int descriptor) { relay_->handleReadable(descriptor); }
  // Stops the reader, as if it lagged behind, until the connection closes.
  void suspendReader() {
    MutexLock held(relay_->lock);
    relay_->reader->suspend();
  }
  void attemptReconnect() { relay_->attemptReconnect(); }

 private:
  std::shared_ptr<Relay> relay_;
};

// A relay whose browser-bound frames go to a pipe the test reads.
struct RelayFixture {
  tests::TempDir dir;
  std::string socketPath = dir.file("app.sock");
  int outputRead = -1;
  int outputWrite = -1;
  std::shared_ptr<Relay> relay;

  explicit RelayFixture(std::chrono::milliseconds interval = std::chrono::hours(1),
                        std::string path = {}) {
    if (!path.empty()) socketPath = std::move(path);
    int ends[2];
    if (openPipe(ends)) {
      outputRead = ends[0];
      outputWrite = ends[1];
    }
    relay = Relay::create({.socketPath = socketPath,
                           .maxMessageLength = kMaxMessageLength,
                           .reconnectInterval = interval,
                           .outputFd = outputWrite,
                           .inputFd = -1});
  }
  ~RelayFixture() {
    relay.reset();
    ::close(outputRead);
    ::close(outputWrite);
  }
  RelayTestPeer peer() const { return RelayTestPeer(relay); }

  std::optional<std::string> nextOutput(std::chrono::milliseconds timeout = tests::kDeadline) {
    auto frame = tests::readFrame(outputRead, timeout);
    if (!frame) return std::nullopt;
    return tests::textOf(*frame);
  }
  bool outputQuiet(std::chrono::milliseconds quiet) const {
    return !tests::waitReadable(outputRead, quiet);
  }
  void forward(std::string_view payload, std::optional<std::string_view> type) {
    relay->forward(Payload::copyOf(payload), type);
  }
};

}  // namespace ostrel

#endif  // OSTREL_TESTS_RELAY_RELAY_TEST_PEER_H_
