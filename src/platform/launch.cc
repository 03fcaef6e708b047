#include "platform/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

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

// True while the system reaps this process's children by itself.
bool childrenReapedAutomatically() {
  struct sigaction current;
  return ::sigaction(SIGCHLD, nullptr, &current) == 0 &&
         (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0);
}

}  // namespace

bool reapChildrenAutomatically() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  action.sa_flags = SA_NOCLDWAIT;
  return sigemptyset(&action.sa_mask) == 0 && ::sigaction(SIGCHLD, &action, nullptr) == 0;
}

bool launchDetached(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // Better no launch than a child nobody reaps, a zombie for as long as the
  // host runs.
  if (!childrenReapedAutomatically()) return false;
  SpawnSetup setup;
  if (!setup.prepare()) return false;
  return setup.spawn(program, argv) > 0;
}

}  // namespace ostrel
