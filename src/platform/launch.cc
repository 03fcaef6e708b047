#include "platform/launch.h"

#include <fcntl.h>
#include <signal.h>

#include "platform/spawn_setup.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not every system declares it

namespace ostrel {
namespace {

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

  // Standard streams on /dev/null, and a session of its own.
  SpawnSetup setup;
  setup.openOn(0, "/dev/null", O_RDONLY);
  setup.openOn(1, "/dev/null", O_WRONLY);
  setup.duplicateOnto(1, 2);
  setup.newSession();
  pid_t child = -1;
  return setup.spawn(child, argv.data(), environ, false) == 0 && child > 0;
}

}  // namespace ostrel
