#ifndef OSTREL_TOOLS_STANDINS_OWN_DIRECTORY_H_
#define OSTREL_TOOLS_STANDINS_OWN_DIRECTORY_H_

// The folder holding the running executable, so that a tool finds the host
// installed beside it. One implementation per platform.

#include <optional>
#include <string>

namespace ostrel::standins {

std::optional<std::string> ownDirectory();

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_OWN_DIRECTORY_H_
