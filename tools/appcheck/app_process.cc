#include "app_process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/descriptors.h"
#include "tools/common/exit_status.h"

namespace ostrel::appcheck {
namespace {

constexpr std::size_t kLinesKept = 12;

}  // namespace

AppProcess::AppProcess(EventLoop& loop, std::vector<std::string> command, std::string socketPath)
    : loop_(loop), command_(std::move(command)), socketPath_(std::move(socketPath)) {
  loop_.add(this);
}

AppProcess::~AppProcess() {
  killGroup();
  loop_.remove(this);
}

bool AppProcess::start(std::string& why) {
  killGroup();
  asked_ = false;
  lines_.clear();
  partialOutput_.clear();
  partialErrors_.clear();
  child_ = std::make_unique<common::ChildProcess>(common::Launch{
      .argv = command_,
      .environment = common::environmentWith({"OSTREL_SOCKET_PATH=" + socketPath_}),
      .ownProcessGroup = true,
  });
  if (!child_->started()) {
    why = child_->startError();
    child_.reset();
    return false;
  }
  group_ = child_->pid();
  // Its input stays open and silent, as a terminal nobody types in.
  outputEnded_ = !setNonBlocking(child_->output());
  errorsEnded_ = !setNonBlocking(child_->errors());
  return true;
}

std::optional<std::string> AppProcess::ended() {
  if (!child_) return "it is not running";
  const std::optional<int> status = child_->waitExit(milliseconds(0));
  if (!status) return std::nullopt;
  // What it said last is kept, though the loop did not get to it.
  while (!outputEnded_) take(child_->output(), outputEnded_, partialOutput_);
  while (!errorsEnded_) take(child_->errors(), errorsEnded_, partialErrors_);
  return "it " + common::describeWaitStatus(*status);
}

std::optional<std::string> AppProcess::endedUnasked() {
  if (asked_) return std::nullopt;
  return ended();
}

bool AppProcess::stop(milliseconds timeout) {
  asked_ = true;
  if (!child_ || ended()) return true;
  ::kill(-group_, SIGTERM);
  if (loop_.runUntil([this] { return ended().has_value(); }, timeout)) return true;
  killGroup();
  return false;
}

void AppProcess::crash() {
  asked_ = true;
  killGroup();
}

void AppProcess::killGroup() {
  if (group_ > 0) ::kill(-group_, SIGKILL);  // helpers it started too
  if (child_) (void)child_->waitExit(milliseconds(1000));
  group_ = -1;
}

std::string AppProcess::lastLines() const {
  std::string text;
  for (const std::string& line : lines_) text += "\n    | " + line;
  for (const std::string* partial : {&partialOutput_, &partialErrors_}) {
    if (!partial->empty()) text += "\n    | " + *partial;
  }
  return text;
}

std::string AppProcess::lastLine() const {
  for (const std::string* partial : {&partialErrors_, &partialOutput_}) {
    if (!partial->empty()) return *partial;
  }
  return lines_.empty() ? std::string() : lines_.back();
}

void AppProcess::watch(std::vector<pollfd>& into) {
  into.push_back({outputEnded_ || !child_ ? -1 : child_->output(), POLLIN, 0});
  into.push_back({errorsEnded_ || !child_ ? -1 : child_->errors(), POLLIN, 0});
}

void AppProcess::serve(std::span<const pollfd> mine) {
  if (mine[0].revents != 0) take(child_->output(), outputEnded_, partialOutput_);
  if (mine[1].revents != 0) take(child_->errors(), errorsEnded_, partialErrors_);
}

void AppProcess::take(int fd, bool& ended, std::string& partial) {
  char buffer[4096];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // Nothing now: once the process has ended, nothing ever.
    ended = n == 0 || errno != EAGAIN || (child_ && child_->pid() < 0);
    return;
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] != '\n') {
      if (partial.size() < 300) partial += buffer[i];
      continue;
    }
    lines_.push_back(std::move(partial));
    partial.clear();
    if (lines_.size() > kLinesKept) lines_.pop_front();
  }
}

}  // namespace ostrel::appcheck
