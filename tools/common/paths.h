#ifndef OSTREL_TOOLS_COMMON_PATHS_H_
#define OSTREL_TOOLS_COMMON_PATHS_H_

// Path text, without touching the file system: the folder that holds a
// path, and the folder that holds the running program.

#include <optional>
#include <string>

namespace ostrel::common {

// "/a/b/c" gives "/a/b", "/a" gives "/", and a path without a slash ".".
std::string parentFolder(const std::string& path);

// The folder of the running executable (links resolved), so that a tool
// finds the programs installed beside it; nothing when the system cannot
// tell.
std::optional<std::string> ownFolder();

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_PATHS_H_
