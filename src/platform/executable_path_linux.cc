#include <limits.h>
#include <stdlib.h>

#include "platform/executable_path.h"

namespace ostrel {

std::optional<std::string> executablePath() {
  char resolved[PATH_MAX];
  if (::realpath("/proc/self/exe", resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

}  // namespace ostrel
