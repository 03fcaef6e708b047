#ifndef OSTREL_TOOLS_STANDINS_EXIT_STATUS_H_
#define OSTREL_TOOLS_STANDINS_EXIT_STATUS_H_

// Turns a child's wait status into the exit code a shell would report for
// it (the child's own code, or 128 plus the number of the signal that killed
// it) and into words for the terminal.

#include <string>

namespace ostrel::standins {

int shellExitCode(int waitStatus);

// "exited with status 3", "was killed by signal 9 (Killed)".
std::string describeWaitStatus(int waitStatus);

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_EXIT_STATUS_H_
