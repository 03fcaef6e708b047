#ifndef OSTREL_PLATFORM_LAUNCH_H_
#define OSTREL_PLATFORM_LAUNCH_H_

#include <string>
#include <vector>

namespace ostrel {

// Makes the system reap this process's children as they end, so that none
// is left a zombie and none needs a thread of ours waiting for it (SIGCHLD
// stays at its default, with SA_NOCLDWAIT). For a process that waits for
// no child of its own, as the host: it is process-wide, and waitpid(2)
// there no longer yields an exit status. False when the system refused.
bool reapChildrenAutomatically();

// Starts `program` with `arguments` and does not wait for it. It runs in a
// session of its own, with standard input, output and error on /dev/null
// (it must never read the browser's frames or write into them), every
// signal at its default disposition and none blocked. No shell is involved.
// The system reaps it when it ends: launching is refused (false) unless
// reapChildrenAutomatically() is in force, so no zombie is ever left
// behind. False too when the program could not be started.
bool launchDetached(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LAUNCH_H_
