#include "browser_process.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/common/exit_status.h"

namespace ostrel::e2e {
namespace {

constexpr std::chrono::seconds kStopDeadline{10};

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

bool BrowserProcess::start(const Launch& launch, std::string& error) {
  // A shell puts the streams in place, then becomes the browser.
  std::vector<std::string> argv = {"/bin/sh", "-c",
                                   R"(exec "$0" "$@" </dev/null >')" + launch.logPath + "' 2>&1"};
  argv.insert(argv.end(), launch.command.begin(), launch.command.end());
  child_ = std::make_unique<common::ChildProcess>(
      common::Launch{.argv = argv,
                     .environment = common::environmentWith(launch.environment),
                     .ownProcessGroup = true});
  if (!child_->started()) {
    error = child_->startError();
    child_.reset();
    return false;
  }
  group_ = child_->pid();
  return true;
}

bool BrowserProcess::hasExited() {
  if (!child_) return true;
  if (!exitDescription_.empty()) return true;
  std::optional<int> status = child_->waitExit(std::chrono::milliseconds(0));
  if (!status) return false;
  exitDescription_ = common::describeWaitStatus(*status);
  return true;
}

void BrowserProcess::stop() {
  if (group_ < 0) return;
  // The group outlives its leader when helpers linger; end them all.
  ::kill(-group_, SIGTERM);
  if (!hasExited()) child_->waitExit(kStopDeadline);
  ::kill(-group_, SIGKILL);
  child_.reset();  // kills and reaps the leader if it still runs
  group_ = -1;
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
