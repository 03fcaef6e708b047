#include "tap_log.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include "channel/payload.h"
#include "clock_text.h"
#include "payload_text.h"
#include "relay/status_message.h"
#include "tools/common/printable_text.h"

namespace ostrel::tap {
namespace {

bool isStatusMessage(std::span<const std::uint8_t> payload) {
  return std::ranges::any_of(std::array{true, false}, [&](bool connected) {
    return std::ranges::equal(payload, statusMessage(connected).bytes());
  });
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
                      std::span<const std::uint8_t> payload, std::string_view mark) {
  char head[64];
  std::snprintf(head, sizeof head, " %-13s %8zu B  ", std::string(directionText(direction)).c_str(),
                payload.size());
  std::string line = standins::clockText(when) + head;
  if (direction == Direction::kHostToBrowser && isStatusMessage(payload)) line += "[status] ";
  if (!mark.empty()) line += "[" + std::string(mark) + "] ";
  return line + standins::describePayload(payload);
}

std::string eventLine(std::chrono::system_clock::time_point when, std::string_view text) {
  return standins::clockText(when) + " -- " + common::printableText(text);
}

TapLog::TapLog(int fd, std::size_t capacity) : fd_(fd), capacity_(capacity) {
  writer_ = std::thread([this] { writeLoop(); });
}

TapLog::~TapLog() {
  stop();
  ::close(fd_);
}

void TapLog::frame(Direction direction, std::span<const std::uint8_t> payload,
                   std::string_view mark) {
  add(frameLine(std::chrono::system_clock::now(), direction, payload, mark));
}

void TapLog::event(std::string_view text) {
  add(eventLine(std::chrono::system_clock::now(), text));
}

void TapLog::add(std::string line) {
  line += '\n';
  {
    MutexLock held(mutex_);
    if (stopping_) return;
    std::string note = dropped_ > 0 ? droppedNote() : "";
    if (waiting_.size() + note.size() + line.size() > capacity_) {
      ++dropped_;
      return;
    }
    waiting_ += note;
    waiting_ += line;
    dropped_ = 0;
  }
  wake_.notify_one();
}

std::string TapLog::droppedNote() const {
  return eventLine(std::chrono::system_clock::now(),
                   std::to_string(dropped_) + " lines left out: the log did not keep up") +
         "\n";
}

void TapLog::stop(std::chrono::milliseconds deadline) {
  {
    MutexLock held(mutex_);
    if (!stopping_) {
      giveUpAt_ = std::chrono::steady_clock::now() + deadline;
      // The count of the last lines left out is told whatever the room.
      if (dropped_ > 0) waiting_ += droppedNote();
    }
    stopping_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
}

void TapLog::writeLoop() {
  std::string batch;
  while (true) {
    {
      MutexLock held(mutex_);
      while (waiting_.empty() && !stopping_) wake_.wait(mutex_);
      if (waiting_.empty()) return;  // stopping, with everything written
      batch.swap(waiting_);
    }
    if (!writeOut(batch)) {
      // Given up: nothing more is taken.
      MutexLock held(mutex_);
      if (!stopping_) giveUpAt_ = std::chrono::steady_clock::now();
      stopping_ = true;
      waiting_.clear();
      return;
    }
    batch.clear();
  }
}

bool TapLog::writeOut(std::string_view text) {
  constexpr int kSliceMs = 100;
  while (!text.empty()) {
    ssize_t written = ::write(fd_, text.data(), text.size());
    if (written > 0) {
      text.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    // Full for now: wait for room, in slices, so that a stop is seen.
    pollfd room{.fd = fd_, .events = POLLOUT, .revents = 0};
    if (::poll(&room, 1, kSliceMs) < 0 && errno != EINTR) return false;
    MutexLock held(mutex_);
    if (stopping_ && std::chrono::steady_clock::now() >= giveUpAt_) return false;
  }
  return true;
}

}  // namespace ostrel::tap
