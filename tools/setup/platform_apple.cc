#include "platform.h"

namespace ostrel::setup {

Platform currentPlatform() { return Platform::kMacOS; }

}  // namespace ostrel::setup
