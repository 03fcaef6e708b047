#include <limits.h>
#include <mach-o/dyld.h>
#include <stdlib.h>

#include <vector>

#include "platform/executable_path.h"

namespace ostrel {

std::optional<std::string> executablePath() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> raw(size + 1);
  if (_NSGetExecutablePath(raw.data(), &size) != 0) return std::nullopt;
  char resolved[PATH_MAX];
  if (::realpath(raw.data(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

}  // namespace ostrel
