#ifndef OSTREL_PLATFORM_EXECUTABLE_PATH_H_
#define OSTREL_PLATFORM_EXECUTABLE_PATH_H_

#include <optional>
#include <string>

namespace ostrel {

// The file location of the running executable with symbolic links
// resolved, or nothing when the system cannot tell.
std::optional<std::string> executablePath();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_EXECUTABLE_PATH_H_
