#include "platform/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <future>
#include <system_error>
#include <thread>

#include "platform/spawn_setup.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not every system declares it

namespace ostrel {

bool launchDetached(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // Standard streams on /dev/null, and a session of its own.
  SpawnSetup setup;
  setup.openOn(0, "/dev/null", O_RDONLY);
  setup.openOn(1, "/dev/null", O_WRONLY);
  setup.duplicateOnto(1, 2);
  setup.newSession();

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
  pid_t child = -1;
  if (setup.spawn(child, argv.data(), environ, false) != 0) child = -1;
  started.set_value(child);
  return child > 0;
}

}  // namespace ostrel
