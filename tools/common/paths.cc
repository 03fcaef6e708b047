#include "tools/common/paths.h"

#include <limits.h>
#include <stdlib.h>

#include "platform/executable_path.h"

namespace ostrel::common {

std::string parentFolder(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::optional<std::string> ownFolder() {
  const std::optional<std::string> executable = executablePath();
  if (!executable) return std::nullopt;
  return parentFolder(*executable);
}

std::string resolvedPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

}  // namespace ostrel::common
