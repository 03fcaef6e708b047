#include "host/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "channel/frame.h"

namespace ostrel {

std::optional<std::string> homeDirectory() {
  if (const char* home = std::getenv("HOME")) return std::string(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

std::string defaultSocketPath(const std::string& home) {
  std::string path = home;
  if (path.empty() || path.back() != '/') path += '/';
  return path + kDefaultSocketRelativePath;
}

Settings settleSettings() {
  Settings settings{.socketPath = {}, .maxMessageLength = kMaxMessageLength};
  if (const char* fromEnvironment = std::getenv(kSocketPathVariable)) {
    settings.socketPath = fromEnvironment;
  } else {
    settings.socketPath = defaultSocketPath(homeDirectory().value_or(""));
  }
  return settings;
}

}  // namespace ostrel
