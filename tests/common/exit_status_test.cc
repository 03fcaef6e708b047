#include "tools/common/exit_status.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ostrel::common {
namespace {

// The wait status of a real child that ran `body`.
template <typename Body>
int statusOfChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST(ExitStatus, PassesTheChildsOwnCodeThrough) {
  for (int code : {0, 3, 255}) {
    const int status = statusOfChild([code] { ::_exit(code); });
    EXPECT_EQ(shellExitCode(status), code);
    EXPECT_EQ(describeWaitStatus(status), "exited with status " + std::to_string(code));
  }
}

TEST(ExitStatus, ReportsDeathBySignalAsShellsDo) {
  const int status = statusOfChild([] { ::raise(SIGKILL); });
  EXPECT_EQ(shellExitCode(status), 128 + SIGKILL);
  EXPECT_EQ(describeWaitStatus(status).rfind("was killed by signal 9 (", 0), 0u);
}

}  // namespace
}  // namespace ostrel::common
