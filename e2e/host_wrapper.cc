#include "host_wrapper.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "tools/common/stream_io.h"

namespace ostrel::e2e {

using common::waitUntil;

HostWrapper::HostWrapper(std::string folder) : folder_(std::move(folder)) {}

HostWrapper::~HostWrapper() {
  if (input_ >= 0) ::close(input_);
}

bool HostWrapper::create(const std::string& host) {
  std::string script = R"(#!/bin/sh
printf '%s\n' "$@" > '@DIR@/host-arguments'
echo $$ > '@DIR@/wrapper-pid.part' && mv '@DIR@/wrapper-pid.part' '@DIR@/wrapper-pid'
if [ -p '@DIR@/gate' ]; then : < '@DIR@/gate'; fi
'@HOST@' "$@"
status=$?
echo "$status" > '@DIR@/host-exit.part' && mv '@DIR@/host-exit.part' '@DIR@/host-exit'
exit "$status"
)";
  for (std::size_t at; (at = script.find("@DIR@")) != std::string::npos;) {
    script.replace(at, 5, folder_);
  }
  script.replace(script.find("@HOST@"), 6, host);
  std::ofstream(path()) << script;
  return ::chmod(path().c_str(), 0755) == 0;
}

bool HostWrapper::arm() {
  for (const char* left : {"/host-arguments", "/wrapper-pid", "/host-exit"}) {
    ::unlink((folder_ + left).c_str());
  }
  return ::mkfifo((folder_ + "/gate").c_str(), 0600) == 0;
}

bool HostWrapper::awaitStart(std::chrono::milliseconds deadline,
                             const std::function<bool()>& giveUp) {
  waitUntil(
      [&] {
        std::ifstream file(folder_ + "/wrapper-pid");
        pid_t pid = -1;
        if (file >> pid) pid_ = pid;
        return pid_ >= 0 || giveUp();
      },
      deadline);
  if (pid_ < 0) return false;
  // The pipe itself, opened through the process: it stays open after the
  // script hands it to the host.
  const std::string input = "/proc/" + std::to_string(pid_) + "/fd/0";
  input_ = ::open(input.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return true;
}

std::optional<int> HostWrapper::unreadInput() const {
  int unread = 0;
  if (input_ < 0 || ::ioctl(input_, FIONREAD, &unread) != 0) return std::nullopt;
  return unread;
}

bool HostWrapper::openGate(std::chrono::milliseconds deadline) {
  // Opening the FIFO for writing succeeds once the script waits to read it.
  return waitUntil(
      [&] {
        int gate = ::open((folder_ + "/gate").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (gate < 0) return false;
        ::close(gate);
        return true;
      },
      deadline);
}

std::vector<std::string> HostWrapper::arguments() const {
  std::ifstream file(folder_ + "/host-arguments");
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::optional<std::string> HostWrapper::awaitExit(std::chrono::milliseconds deadline) const {
  std::string status;
  waitUntil(
      [&] {
        std::ifstream file(folder_ + "/host-exit");
        return static_cast<bool>(std::getline(file, status));
      },
      deadline);
  if (status.empty()) return std::nullopt;
  return status;
}

}  // namespace ostrel::e2e
