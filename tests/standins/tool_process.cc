#include "tool_process.h"

#include <poll.h>
#include <sys/stat.h>

#include <fstream>

#include "tools/common/bytes.h"
#include "tools/common/stream_io.h"

namespace ostrel::standins::tests {

ToolProcess::ToolProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env)
    : child_({.argv = argv, .environment = common::environmentWith(env)}) {}

void ToolProcess::write(const std::string& text) {
  common::writeBytes(child_.input(), common::asBytes(text));
}

bool ToolProcess::pump(std::chrono::steady_clock::time_point deadline) {
  if (child_.output() < 0 && child_.errors() < 0) return false;
  pollfd fds[2] = {{child_.output(), POLLIN, 0}, {child_.errors(), POLLIN, 0}};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
  if (fds[0].revents != 0 && !common::readAvailable(child_.output(), out_)) child_.closeOutput();
  if (fds[1].revents != 0 && !common::readAvailable(child_.errors(), err_)) child_.closeErrors();
  return true;
}

bool ToolProcess::waitForOutput(const std::string& text, bool onErrors) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while ((onErrors ? err_ : out_).find(text) == std::string::npos) {
    if (!pump(deadline)) return false;
  }
  return true;
}

std::optional<int> ToolProcess::wait() {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (pump(deadline)) {
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return child_.waitExit(std::max(left, std::chrono::milliseconds(0)));
}

std::string writeScript(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string file = dir.file(name);
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  ::chmod(file.c_str(), 0755);
  return file;
}

}  // namespace ostrel::standins::tests
