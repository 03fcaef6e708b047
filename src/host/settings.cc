#include "host/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "channel/frame.h"
#include "platform/executable_path.h"

namespace ostrel {
namespace {

bool isAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::optional<std::string> homeFromPasswordDatabase() {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int error;
  while ((error = ::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found)) ==
             ERANGE &&
         scratch.size() < (1U << 20)) {
    scratch.resize(scratch.size() * 2);
  }
  if (error != 0 || found == nullptr || !isAbsolute(found->pw_dir)) return std::nullopt;
  return std::string(found->pw_dir);
}

}  // namespace

std::optional<std::string> homeDirectory() { return homeDirectoryFrom(std::getenv("HOME")); }

std::optional<std::string> homeDirectoryFrom(const char* home) {
  // A relative or empty HOME would put the socket below the working
  // directory or at the root, where anyone may create it.
  if (isAbsolute(home)) return std::string(home);
  return homeFromPasswordDatabase();
}

std::string socketPathFrom(const char* socketVariable, const char* home) {
  if (socketVariable != nullptr) return socketVariable;
  if (const std::optional<std::string> directory = homeDirectoryFrom(home)) {
    return defaultSocketPath(*directory);
  }
  return {};
}

bool connectableSocketPath(std::string_view path) {
  return !path.empty() && path.size() <= kMaxSocketPathBytes;
}

std::string defaultSocketPath(const std::string& home) {
  std::string path = home;
  if (path.empty() || path.back() != '/') path += '/';
  return path + kDefaultSocketRelativePath;
}

Settings settleSettings() {
  Settings settings{.socketPath = {}, .maxMessageLength = kMaxMessageLength, .executable = {}};
  settings.socketPath = socketPathFrom(std::getenv(kSocketPathVariable), std::getenv("HOME"));
  settings.executable = executablePath();
  return settings;
}

}  // namespace ostrel
