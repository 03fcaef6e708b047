#include "host/open_app.h"

#include "platform/launch.h"

namespace ostrel {
namespace {

// Removes the last component of an absolute or relative path, ignoring
// trailing slashes. Nothing when no component is left to remove.
std::optional<std::string> parentOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || path == "/") return std::nullopt;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> enclosingBundle(const std::string& executable) {
  std::optional<std::string> bundle = executable;
  for (int level = 0; level < 3 && bundle; ++level) bundle = parentOf(*bundle);
  if (!bundle) return std::nullopt;
  const std::size_t lastSlash = bundle->rfind('/');
  const std::string name = bundle->substr(lastSlash == std::string::npos ? 0 : lastSlash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.substr(dot + 1) != "app") return std::nullopt;
  return bundle;
}

void openApp(const std::optional<std::string>& executable, const AppLaunch& launch) {
  if (const std::optional<std::string> bundle =
          executable ? enclosingBundle(*executable) : std::nullopt) {
    launchDetached(launch.bundleOpener, {*bundle});
  } else if (!launch.command.empty()) {
    launchDetached(launch.command.front(), {launch.command.begin() + 1, launch.command.end()});
  }
}

}  // namespace ostrel
