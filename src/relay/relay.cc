// Relay state, connection handling and forwarding.
#include "relay/relay.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/descriptors.h"

namespace ostrel {
namespace {

// The longest path that fits sun_path with its terminating zero byte on
// every system the host runs on.
constexpr std::size_t kMaxSocketPathBytes = 103;

}  // namespace

std::shared_ptr<Relay> Relay::create(RelayOptions options) {
  return std::make_shared<Relay>(PrivateTag{}, std::move(options));
}

Relay::Relay(PrivateTag, RelayOptions options)
    : options_(std::move(options)),
      readQueue(std::make_unique<SerialQueue>("ostrel.native-host.read")),
      timer(std::make_unique<TimerSource>(
          std::make_shared<SerialQueue>("ostrel.native-host.reconnect"))) {}

Relay::~Relay() {
  MutexLock held(lock);
  closeConnection();
  if (!timerRunning) timer->resume();
  timer->cancel();
}

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
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(socket);
    return false;
  }

  fd = socket;
  reader = std::make_unique<ReadSource>(socket, *readQueue);
  reader->setEventHandler([relay = weak_from_this(), socket] {
    if (auto strong = relay.lock()) strong->handleReadable(socket);
  });
  reader->setCancelHandler([socket] { ::close(socket); });
  reader->resume();
  return true;
}

void Relay::closeConnection() {
  if (reader) {
    reader->cancel();  // its cancel handler closes the descriptor
    reader.reset();
  } else if (fd >= 0) {
    ::close(fd);
  }
  fd = -1;
  incoming.clear();
}

void Relay::dropConnection() {
  closeConnection();
  syncState();
}

void Relay::forward(Payload payload, std::optional<std::string_view> messageType) {
  MutexLock held(lock);
  if (fd < 0) openConnection();
  if (fd >= 0 && !writeAll(fd, payload.frame())) closeConnection();
  if (messageType == "hello") {
    hello = std::move(payload);
  } else if (messageType == "focus" || messageType == "blur") {
    latestState = std::move(payload);
  }
  syncState();
}

}  // namespace ostrel
