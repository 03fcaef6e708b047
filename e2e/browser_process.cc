#include "browser_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

// Declared by no header on macOS.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace ostrel::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kStopDeadline{10};

// The test's environment with `overrides` ("NAME=value") put in.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    std::string name = variable.substr(0, variable.find('=') + 1);
    bool replaced = false;
    for (const std::string& override : overrides) replaced = replaced || override.starts_with(name);
    if (!replaced) merged.push_back(variable);
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (std::string& each : strings) result.push_back(each.data());
  result.push_back(nullptr);
  return result;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

}  // namespace

std::optional<std::string> findProgram(const std::string& variable, const std::string& name) {
  if (const char* chosen = std::getenv(variable.c_str())) {
    if (::access(chosen, X_OK) == 0) return std::string(chosen);
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = folder + "/";
    candidate += name;
    if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

BrowserProcess::~BrowserProcess() { stop(); }

bool BrowserProcess::start(const Launch& launch, std::string& error) {
  int log = ::open(launch.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) {
    error = "cannot create " + launch.logPath + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> arguments = launch.command;
  std::vector<std::string> environment = mergedEnvironment(launch.environment);
  std::vector<char*> argv = pointers(arguments);
  std::vector<char*> envp = pointers(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, log, 1);
  posix_spawn_file_actions_adddup2(&actions, log, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  int result = ::posix_spawn(&pid_, arguments.front().c_str(), &actions, &attributes, argv.data(),
                             envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(log);
  if (result != 0) {
    pid_ = -1;
    error = "cannot start " + arguments.front() + ": " + std::strerror(result);
    return false;
  }
  return true;
}

bool BrowserProcess::hasExited() {
  if (exited_ || pid_ < 0) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  exited_ = true;
  exitDescription_ = describeStatus(status);
  return true;
}

void BrowserProcess::stop() {
  if (pid_ < 0) return;
  // The group outlives its leader when helpers linger; end them all.
  ::kill(-pid_, SIGTERM);
  Clock::time_point until = Clock::now() + kStopDeadline;
  while (!hasExited() && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-pid_, SIGKILL);
  if (!exited_) {
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

std::string tailOfFile(const std::string& path, int lines) {
  std::ifstream file(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(file, line);) all.push_back(line);
  std::string tail;
  for (std::size_t i = all.size() > static_cast<std::size_t>(lines) ? all.size() - lines : 0;
       i < all.size(); ++i) {
    tail += all[i] + "\n";
  }
  return tail;
}

}  // namespace ostrel::e2e
