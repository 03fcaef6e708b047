#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "descriptors.h"
#include "host_process.h"

namespace ostrel::bench {
namespace {

void setBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  auto process = standins::startProcess(argv, env, startError_);
  if (!process) return;
  pid_ = process->pid;
  input_ = process->input;
  output_ = process->output;
  errors_ = process->errors;
  setBlocking(input_);
  setBlocking(output_);
}

Child::~Child() {
  if (pid_ > 0) {
    kill();
    ::waitpid(pid_, nullptr, 0);
  }
  standins::closeFd(input_);
  standins::closeFd(output_);
  standins::closeFd(errors_);
}

void Child::kill() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

std::optional<int> Child::finish() {
  standins::closeFd(input_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    errors();
    pollfd fd{errors_, POLLIN, 0};
    ::poll(&fd, 1, 5);
  }
  return std::nullopt;
}

std::string Child::errors() {
  char buffer[4096];
  ssize_t n;
  while (errors_ >= 0 && (n = ::read(errors_, buffer, sizeof buffer)) > 0) {
    errorText_.append(buffer, static_cast<std::size_t>(n));
  }
  return errorText_;
}

}  // namespace ostrel::bench
