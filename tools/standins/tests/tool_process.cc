#include "tool_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "channel/std_streams.h"
#include "descriptors.h"
#include "host_process.h"

namespace ostrel::standins::testing {

ToolProcess::ToolProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
  std::string error;
  auto process = startProcess(argv, env, error);
  if (!process) return;
  pid_ = process->pid;
  input_ = process->input;
  output_ = process->output;
  errors_ = process->errors;
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(input_);
  closeFd(output_);
  closeFd(errors_);
}

void ToolProcess::write(const std::string& text) {
  ostrel::writeAll(input_, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void ToolProcess::closeInput() { closeFd(input_); }

void ToolProcess::signal(int number) { ::kill(pid_, number); }

bool ToolProcess::pump(std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
  if (output_ < 0 && errors_ < 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (!fds[i].revents) continue;
    int& fd = i == 0 ? output_ : errors_;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EAGAIN) {
      closeFd(fd);
    }
  }
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
  for (;;) {
    int status;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return status;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    pollfd none{-1, 0, 0};
    ::poll(&none, 1, 10);  // the streams have ended; the exit follows at once
  }
}

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "ostrel-standins-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::script(const std::string& name, const std::string& body) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  ::chmod(file.c_str(), 0755);
  return file;
}

}  // namespace ostrel::standins::testing
