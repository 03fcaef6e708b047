#ifndef OSTREL_HOST_OPEN_APP_H_
#define OSTREL_HOST_OPEN_APP_H_

// Launching the application on "open_app". Runs on the main thread and
// touches no shared state.

#include <optional>
#include <string>
#include <vector>

namespace ostrel {

// What "open_app" starts, fixed when the host is built.
struct AppLaunch {
  // Started with the bundle's path when the host lies inside an
  // application bundle.
  std::string bundleOpener;
  // Started otherwise (a program and its arguments); empty: nothing is.
  std::vector<std::string> command;
};

// The bundle that encloses `executable`: the path with its last component
// removed three times (Example.app/Contents/MacOS/host), when that
// directory's extension is exactly "app".
std::optional<std::string> enclosingBundle(const std::string& executable);

// Starts `launch.bundleOpener` with the enclosing bundle's path as its one
// argument, or, when `executable` lies in no bundle, `launch.command`;
// never waits for it. Every failure is silent.
void openApp(const std::optional<std::string>& executable, const AppLaunch& launch);

}  // namespace ostrel

#endif  // OSTREL_HOST_OPEN_APP_H_
