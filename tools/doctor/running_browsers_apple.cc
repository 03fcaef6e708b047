#include "running_browsers.h"

namespace ostrel::setup {

// Other processes' arguments need sysctl(KERN_PROCARGS2), which a sandboxed
// or hardened browser may refuse; the doctor does without.
std::vector<RunningBrowser> browsersWithUserDataDir() { return {}; }

}  // namespace ostrel::setup
