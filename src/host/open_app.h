#ifndef OSTREL_HOST_OPEN_APP_H_
#define OSTREL_HOST_OPEN_APP_H_

// Launching the application bundle that contains the host's executable,
// which lies three directory levels below it (Example.app/Contents/MacOS/
// host). Runs on the main thread and touches no shared state.

#include <optional>
#include <string>

namespace ostrel {

// The bundle that encloses `executable`: the path with its last component
// removed three times, when that directory's extension is exactly "app".
std::optional<std::string> enclosingBundle(const std::string& executable);

// Starts `launcher` with the enclosing bundle's path as its one argument,
// without waiting for it. Does nothing when there is no such bundle; every
// failure is silent.
void openApp(const std::string& launcher);

}  // namespace ostrel

#endif  // OSTREL_HOST_OPEN_APP_H_
