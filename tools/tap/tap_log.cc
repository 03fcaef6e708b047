#include "tap_log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "channel/payload.h"
#include "clock_text.h"
#include "payload_text.h"
#include "relay/status_message.h"

namespace ostrel::tap {
namespace {

bool isStatusMessage(std::span<const std::uint8_t> payload) {
  for (bool connected : {true, false}) {
    Payload status = statusMessage(connected);
    if (std::ranges::equal(payload, status.bytes())) return true;
  }
  return false;
}

}  // namespace

std::string_view directionText(Direction direction) {
  switch (direction) {
    case Direction::kBrowserToHost:
      return "browser->host";
    case Direction::kHostToBrowser:
      return "host->browser";
    case Direction::kHostToApp:
      return "host->app";
    case Direction::kAppToHost:
      return "app->host";
  }
  return "?";
}

std::string frameLine(std::chrono::system_clock::time_point when, Direction direction,
                      std::span<const std::uint8_t> payload) {
  char head[64];
  std::snprintf(head, sizeof head, " %-13s %8zu B  ", std::string(directionText(direction)).c_str(),
                payload.size());
  std::string line = standins::clockText(when) + head;
  if (direction == Direction::kHostToBrowser && isStatusMessage(payload)) line += "[status] ";
  return line + standins::describePayload(payload);
}

std::string eventLine(std::chrono::system_clock::time_point when, std::string_view text) {
  return standins::clockText(when) + " -- " + std::string(text);
}

void TapLog::frame(Direction direction, std::span<const std::uint8_t> payload) {
  writeLine(frameLine(std::chrono::system_clock::now(), direction, payload));
}

void TapLog::event(std::string_view text) {
  writeLine(eventLine(std::chrono::system_clock::now(), text));
}

void TapLog::writeLine(std::string line) {
  line += '\n';
  MutexLock held(mutex_);
  // A log that cannot be written must not disturb the traffic: the line is
  // dropped.
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t written = ::write(fd_, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace ostrel::tap
