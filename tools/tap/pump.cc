#include "pump.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <span>
#include <string>

#include "tools/common/frame_splitter.h"

namespace ostrel::tap {
namespace {

constexpr std::size_t kChunk = 65536;

bool writeAllBytes(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

// Logs the frames that are whole now.
void logFrames(common::FrameSplitter& splitter, Direction direction, TapLog& log,
               PumpWatcher& watcher, bool& brokenSaid) {
  while (std::optional<std::span<const std::uint8_t>> payload = splitter.next()) {
    log.frame(direction, *payload, watcher.markFor(*payload));
  }
  if (splitter.broken() && !brokenSaid) {
    brokenSaid = true;
    log.event(std::string(directionText(direction)) + ": a header announces " +
              std::to_string(splitter.brokenLength()) +
              " bytes, over the 1 MiB limit; the rest of this stream is copied but not shown");
  }
}

// Waits until `from` is readable or `stop` (when 0 or more) fires; false
// for a stop.
bool awaitInput(int from, int stop) {
  pollfd fds[2] = {{.fd = from, .events = POLLIN, .revents = 0},
                   {.fd = stop, .events = POLLIN, .revents = 0}};
  while (::poll(fds, stop < 0 ? 1 : 2, -1) < 0) {
    if (errno != EINTR) return true;  // let the read report it
  }
  return fds[0].revents != 0 || fds[1].revents == 0;
}

}  // namespace

PumpResult pump(int from, int to, Direction direction, TapLog& log, int stop,
                PumpWatcher* watcher) {
  PumpWatcher nobody;
  PumpWatcher& told = watcher != nullptr ? *watcher : nobody;
  common::FrameSplitter splitter;
  PumpResult result;
  bool brokenSaid = false;
  bool stopping = false;
  while (true) {
    if (!stopping && (stop >= 0 || watcher != nullptr) && !awaitInput(from, stop)) {
      stopping = true;
    }
    if (stopping) {
      // Only what is there already: the writer has gone.
      pollfd ready{.fd = from, .events = POLLIN, .revents = 0};
      if (::poll(&ready, 1, 0) <= 0) {
        result.end = PumpEnd::kStopped;
        break;
      }
    }
    told.reading();
    std::span<std::uint8_t> room = splitter.room(kChunk);
    ssize_t got = ::read(from, room.data(), kChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      result.end = got == 0 ? PumpEnd::kEndOfInput : PumpEnd::kReadFailed;
      break;
    }
    // Logged before it is passed on, so that a frame's line comes before
    // the lines of what it caused. The chunk stays in place until the next
    // room().
    const std::span<const std::uint8_t> chunk(room.data(), static_cast<std::size_t>(got));
    splitter.commit(chunk.size());
    told.beforeLogging();
    logFrames(splitter, direction, log, told, brokenSaid);
    told.logged();
    if (!writeAllBytes(to, chunk)) {
      result.end = PumpEnd::kWriteFailed;
      break;
    }
    told.passed();
    result.bytes += chunk.size();
  }
  splitter.end();
  if (splitter.pendingBytes() > 0 && !splitter.broken()) {
    log.event(std::string(directionText(direction)) + ": the stream ended inside a frame (" +
              std::to_string(splitter.pendingBytes()) + " bytes of it passed)");
  }
  return result;
}

}  // namespace ostrel::tap
