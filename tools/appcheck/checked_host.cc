#include "checked_host.h"

#include <unistd.h>

#include <cerrno>

#include "payload_text.h"
#include "platform/descriptors.h"

namespace ostrel::appcheck {
namespace {

constexpr std::string_view kConnected = R"({"type":"status","app":"connected"})";
constexpr std::string_view kUnavailable = R"({"type":"status","app":"unavailable"})";

constexpr std::size_t kLastFramesKept = 4;

// What a browser passes a Chromium host: the extension's origin.
constexpr const char* kOrigin = "chrome-extension://ostrelappcheckostrelappcheckab/";

// Reads what `fd` holds now into `sink`; false at end of stream or on error.
template <typename Sink>
bool readInto(int fd, Sink&& sink) {
  std::uint8_t buffer[65536];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) return true;
  if (n <= 0) return false;
  sink(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
  return true;
}

}  // namespace

CheckedHost::CheckedHost(EventLoop& loop, const std::string& host, const std::string& socketPath)
    : loop_(loop),
      child_(common::Launch{
          .argv = {host, kOrigin},
          .environment = common::environmentWith({"OSTREL_SOCKET_PATH=" + socketPath}),
      }) {
  if (!child_.started()) {
    startError_ = child_.startError();
    return;
  }
  if (!setNonBlocking(child_.input()) || !setNonBlocking(child_.output()) ||
      !setNonBlocking(child_.errors())) {
    startError_ = "cannot make the host's pipes non-blocking";
    return;
  }
  loop_.add(this);
}

CheckedHost::~CheckedHost() { loop_.remove(this); }

void CheckedHost::send(std::span<const std::uint8_t> bytes) {
  queued_.insert(queued_.end(), bytes.begin(), bytes.end());
}

bool CheckedHost::reported(std::size_t index, std::string_view app) const {
  return index < statuses_.size() && statuses_[index] == app;
}

bool CheckedHost::droppedAfter(std::size_t index) const {
  for (std::size_t i = index + 1; i < statuses_.size(); ++i) {
    if (statuses_[i] == "unavailable") return true;
  }
  return false;
}

std::string CheckedHost::misbehaviour() const {
  std::string said;
  if (frames_.broken()) {
    said = "the host wrote a frame header announcing " + std::to_string(frames_.brokenLength()) +
           " bytes";
  }
  if (!errorText_.empty()) {
    if (!said.empty()) said += "; ";
    said += "the host wrote to standard error: " +
            standins::describePayload(common::asBytes(errorText_), 200);
  }
  return said;
}

bool CheckedHost::finish(milliseconds timeout) {
  if (!startError_.empty()) return true;
  child_.closeInput();
  const bool ended = loop_.runUntil([this] { return outputEnded_ && errorsEnded_; }, timeout);
  return ended && child_.waitExit(timeout).has_value();
}

void CheckedHost::watch(std::vector<pollfd>& into) {
  into.push_back({allTaken() ? -1 : child_.input(), POLLOUT, 0});
  into.push_back({outputEnded_ ? -1 : child_.output(), POLLIN, 0});
  into.push_back({errorsEnded_ ? -1 : child_.errors(), POLLIN, 0});
}

void CheckedHost::serve(std::span<const pollfd> mine) {
  if (mine[0].revents != 0) writeInput();
  if (mine[1].revents != 0) readOutput();
  if (mine[2].revents != 0) readErrors();
}

void CheckedHost::writeInput() {
  while (!allTaken()) {
    const ssize_t n = ::write(child_.input(), queued_.data() + taken_, queued_.size() - taken_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // full for now, or the host has gone: taken() tells how far it got
    taken_ += static_cast<std::size_t>(n);
  }
}

void CheckedHost::readOutput() {
  if (!readInto(child_.output(), [this](std::span<const std::uint8_t> bytes) {
        frames_.feed(bytes);
        takeFrames();
      })) {
    outputEnded_ = true;
    frames_.end();
  }
}

void CheckedHost::readErrors() {
  if (!readInto(child_.errors(), [this](std::span<const std::uint8_t> bytes) {
        errorText_.append(common::asText(bytes));
      })) {
    errorsEnded_ = true;
  }
}

void CheckedHost::takeFrames() {
  while (const std::optional<std::span<const std::uint8_t>> payload = frames_.next()) {
    const std::string_view text = common::asText(*payload);
    if (text == kConnected) {
      statuses_.emplace_back("connected");
    } else if (text == kUnavailable) {
      statuses_.emplace_back("unavailable");
    } else {
      if (appFrames_++ == 0) firstAppFrame_ = standins::describePayload(*payload, 80);
      appBytes_ += payload->size();
      lastAppFrames_.emplace_back(payload->begin(), payload->end());
      if (lastAppFrames_.size() > kLastFramesKept) lastAppFrames_.pop_front();
    }
  }
}

}  // namespace ostrel::appcheck
