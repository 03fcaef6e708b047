#include <mach-o/dyld.h>
#include <stdlib.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "own_directory.h"

namespace ostrel::standins {

std::optional<std::string> ownDirectory() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> path(size + 1);
  if (_NSGetExecutablePath(path.data(), &size) != 0) return std::nullopt;
  char resolved[PATH_MAX];
  if (::realpath(path.data(), resolved) == nullptr) return std::nullopt;
  const std::string executable(resolved);
  return executable.substr(0, executable.rfind('/'));
}

}  // namespace ostrel::standins
