#include "support/test_support.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <cstdlib>

#include "tools/common/paths.h"

namespace ostrel::tests {
namespace {

// A peer that has gone must show up as a failed write, not end the tests.
// The hosts started here do not inherit this: they start with SIGPIPE at
// its default, as under a browser.
const bool kIgnoreSigpipe = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

std::vector<std::string> hostEnvironment(const std::map<std::string, std::string>& given) {
  std::vector<std::string> environment;
  const char* path = std::getenv("PATH");
  environment.push_back(std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin"));
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name))
      environment.push_back(std::string(name) + "=" + value);
  }
  for (const auto& [name, value] : given) {
    if (value != kUnset) environment.push_back(name + "=" + value);
  }
  return environment;
}

common::Launch hostLaunch(const std::string& executable,
                          const std::map<std::string, std::string>& environment,
                          const std::vector<std::string>& arguments,
                          const std::vector<int>& inherited) {
  std::vector<std::string> argv{executable};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return {.argv = argv,
          .environment = hostEnvironment(environment),
          .workingDirectory = common::parentFolder(executable),
          .inherited = inherited};
}

}  // namespace

HostProcess::HostProcess(const std::string& executable,
                         const std::map<std::string, std::string>& environment,
                         const std::vector<std::string>& arguments,
                         const std::vector<int>& inherited)
    : child_(hostLaunch(executable, environment, arguments, inherited)) {}

std::optional<Bytes> HostProcess::readFrame(milliseconds timeout) const {
  return common::readFrame(child_.output(), timeout);
}

bool HostProcess::staysQuiet(milliseconds quiet) const {
  return !waitReadable(child_.output(), quiet);
}

std::string HostProcess::errorOutput() {
  common::readAvailable(child_.errors(), errorText_);
  return errorText_;
}

bool endsCleanly(HostProcess& host) {
  host.closeInput();
  return exitedWithZero(host.waitExit()) && host.errorOutput().empty();
}

std::string hostExecutable() { return OSTREL_HOST_EXECUTABLE; }

bool exitedWithZero(const std::optional<int>& waitStatus) {
  return waitStatus && WIFEXITED(*waitStatus) && WEXITSTATUS(*waitStatus) == 0;
}

int pendingBytes(int fd) {
  int pending = 0;
  return ::ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

}  // namespace ostrel::tests
