#ifndef OSTREL_PLATFORM_LAUNCH_H_
#define OSTREL_PLATFORM_LAUNCH_H_

#include <string>
#include <vector>

namespace ostrel {

// Starts `program` with `arguments` and does not wait for it. It runs in a
// session of its own, with standard input, output and error on /dev/null
// (it must never read the browser's frames or write into them), every
// signal at its default disposition and none blocked. No shell is involved.
// A thread of the host's reaps it when it ends, so no zombie is left behind.
// False when the program could not be started.
bool launchDetached(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LAUNCH_H_
