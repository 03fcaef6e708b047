#include "platform.h"

namespace ostrel::setup {

Platform currentPlatform() { return Platform::kLinux; }

}  // namespace ostrel::setup
