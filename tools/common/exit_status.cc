#include "tools/common/exit_status.h"

#include <sys/wait.h>

#include <cstring>

namespace ostrel::common {

int shellExitCode(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 1;
}

std::string describeWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) {
    return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
  }
  if (WIFSIGNALED(waitStatus)) {
    const int signal = WTERMSIG(waitStatus);
    return "was killed by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
  }
  return "ended in an unknown way";
}

}  // namespace ostrel::common
