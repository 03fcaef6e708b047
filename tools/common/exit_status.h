#ifndef OSTREL_TOOLS_COMMON_EXIT_STATUS_H_
#define OSTREL_TOOLS_COMMON_EXIT_STATUS_H_

// How a process ended, from its wait status: the exit code a shell would
// report (its own code, or 128 plus the number of the signal that killed
// it), and words for a person.

#include <string>

namespace ostrel::common {

int shellExitCode(int waitStatus);

// "exited with status 3", "was killed by signal 9 (Killed)".
std::string describeWaitStatus(int waitStatus);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_EXIT_STATUS_H_
