#include <unistd.h>

#include <climits>

#include "own_directory.h"

namespace ostrel::standins {

std::optional<std::string> ownDirectory() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  const std::string executable(path, static_cast<std::size_t>(n));
  return executable.substr(0, executable.rfind('/'));
}

}  // namespace ostrel::standins
