// Reconnection, replay and the status reports.
#include "relay/relay.h"
#include "relay/status_message.h"

namespace ostrel {

void Relay::start() {
  {
    MutexLock held(lock);  // nobody else uses the relay yet; the timer is guarded all the same
    timer->schedule(options_.reconnectInterval, options_.reconnectInterval,
                    options_.reconnectLeeway);
    timer->setEventHandler([relay = weak_from_this()] {
      if (auto strong = relay.lock()) strong->attemptReconnect();
    });
  }
  attemptReconnect();
}

void Relay::attemptReconnect() {
  MutexLock held(lock);
  if (shuttingDown) return;  // a tick that waited for the lock while the host stopped
  if (fd < 0 && openConnection()) {
    for (const std::optional<Payload>* cached : {&hello, &latestState}) {
      if (!cached->has_value()) continue;
      if (!writeAll(fd, (*cached)->frame())) {
        closeConnection();  // the next attempt replays the whole cache again
        break;
      }
    }
  }
  syncState();
}

void Relay::syncState() {
  const bool connected = fd >= 0;
  if (!connected && !timerRunning) {
    timer->resume();
    timerRunning = true;
  } else if (connected && timerRunning) {
    timer->suspend();
    timerRunning = false;
  }
  if (reportedConnected == connected) return;
  reportedConnected = connected;  // kept even when the write below fails
  writeFrame(statusMessage(connected).frame(), options_.outputFd);
}

void Relay::shutdown() {
  MutexLock held(lock);
  shuttingDown = true;
  if (!timerRunning) timer->resume();
  timer->cancel();
  closeConnection();
}

}  // namespace ostrel
