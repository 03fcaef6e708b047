#include "platform/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <future>
#include <system_error>
#include <thread>

#include "platform/launch_descriptors.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not every system declares it

namespace ostrel {
namespace {

// Every step of the child's set-up, checked: a program started with only
// part of it (the browser's pipes still open in it, say) is worse than none.
class SpawnSetup {
 public:
  SpawnSetup() {
    filesReady_ = posix_spawn_file_actions_init(&files_) == 0;
    attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
  }
  ~SpawnSetup() {
    if (filesReady_) posix_spawn_file_actions_destroy(&files_);
    if (attributesReady_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard streams on /dev/null, nothing else inherited, default signal
  // dispositions, no blocked signal, a session of its own.
  bool prepare() {
    if (!filesReady_ || !attributesReady_) return false;
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID;
    sigset_t all;
    sigset_t none;
    return posix_spawn_file_actions_addopen(&files_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&files_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
           posix_spawn_file_actions_adddup2(&files_, 1, 2) == 0 &&
           closeDescriptorsAboveTwo(files_, flags) && sigfillset(&all) == 0 &&
           sigemptyset(&none) == 0 && posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           posix_spawnattr_setflags(&attributes_, flags) == 0;
  }

  pid_t spawn(const std::string& program, std::vector<char*>& argv) {
    pid_t child = -1;
    if (::posix_spawn(&child, program.c_str(), &files_, &attributes_, argv.data(), environ) != 0) {
      return -1;
    }
    return child;
  }

 private:
  posix_spawn_file_actions_t files_;
  posix_spawnattr_t attributes_;
  bool filesReady_ = false;
  bool attributesReady_ = false;
};

}  // namespace

bool launchDetached(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnSetup setup;
  if (!setup.prepare()) return false;

  // The reaper exists before the child does: a child nobody waits for would
  // stay a zombie for as long as the host runs.
  std::promise<pid_t> started;
  std::thread reaper;
  try {
    reaper = std::thread([child = started.get_future()]() mutable {
      const pid_t pid = child.get();
      if (pid <= 0) return;
      int status;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    });
  } catch (const std::system_error&) {
    return false;  // a process limit: better no launch than a zombie
  }
  reaper.detach();
  const pid_t child = setup.spawn(program, argv);
  started.set_value(child);
  return child > 0;
}

}  // namespace ostrel
