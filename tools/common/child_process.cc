#include "tools/common/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptors.h"
#include "platform/spawn_setup.h"
#include "tools/common/stream_io.h"

// Declared by no header on macOS.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace ostrel::common {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Starts the child with `in`, `out` and `err` as its descriptors 0, 1 and
// 2, and nothing else but what it is to inherit; 0 or an errno.
int spawn(const Launch& launch, int in, int out, int err, pid_t& pid) {
  SpawnSetup setup;
  setup.duplicateOnto(in, STDIN_FILENO);
  setup.duplicateOnto(out, STDOUT_FILENO);
  setup.duplicateOnto(err, STDERR_FILENO);
  setup.inherit(launch.inherited);
  if (!launch.workingDirectory.empty()) setup.changeDirectory(launch.workingDirectory);
  if (launch.ownProcessGroup) setup.newProcessGroup();
  std::vector<std::string> argv = launch.argv;
  std::vector<std::string> environment = launch.environment;
  return setup.spawn(pid, pointers(argv).data(), pointers(environment).data(), true);
}

}  // namespace

ChildProcess::ChildProcess(const Launch& launch) {
  if (launch.argv.empty()) {
    startError_ = "no program to start";
    return;
  }
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int error = 0;
  if (!openPipe(in) || !openPipe(out) || !openPipe(err)) {
    error = errno;
    startError_ = std::string("cannot create pipes: ") + std::strerror(error);
  } else if ((error = spawn(launch, in[0], out[1], err[1], pid_)) != 0) {
    startError_ = "cannot start " + launch.argv[0] + ": " + std::strerror(error);
  }
  for (int* end : {&in[0], &out[1], &err[1]}) closeDescriptor(*end);
  if (error != 0) {
    pid_ = -1;
    for (int* end : {&in[1], &out[0], &err[0]}) closeDescriptor(*end);
    return;
  }
  started_ = true;
  input_ = in[1];
  output_ = out[0];
  errors_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  closeInput();
  closeOutput();
  closeErrors();
}

void ChildProcess::closeInput() { closeDescriptor(input_); }
void ChildProcess::closeOutput() { closeDescriptor(output_); }
void ChildProcess::closeErrors() { closeDescriptor(errors_); }

void ChildProcess::signal(int number) const {
  if (pid_ > 0) ::kill(pid_, number);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  int status = 0;
  pid_t done = 0;
  waitUntil(
      [&] {
        do {
          done = ::waitpid(pid_, &status, WNOHANG);
        } while (done < 0 && errno == EINTR);
        return done != 0;
      },
      timeout);
  if (done == 0) return std::nullopt;
  pid_ = -1;
  if (done > 0) status_ = status;
  return status_;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view current(*entry);
    const std::string_view name = current.substr(0, current.find('=') + 1);
    bool replaced = false;
    for (const std::string& added : overrides) replaced = replaced || added.starts_with(name);
    if (!replaced) merged.emplace_back(current);
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

}  // namespace ostrel::common
