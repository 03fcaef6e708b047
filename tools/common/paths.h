#ifndef OSTREL_TOOLS_COMMON_PATHS_H_
#define OSTREL_TOOLS_COMMON_PATHS_H_

// Paths: the folder that holds a path (text only), the folder that holds
// the running program, and a path with its links resolved.

#include <optional>
#include <string>

namespace ostrel::common {

// "/a/b/c" gives "/a/b", "/a" gives "/", and a path without a slash ".".
std::string parentFolder(const std::string& path);

// The folder of the running executable (links resolved), so that a tool
// finds the programs installed beside it; nothing when the system cannot
// tell.
std::optional<std::string> ownFolder();

// `path` with every link resolved (realpath); `path` itself when it cannot
// be, as for a file that is not there.
std::string resolvedPath(const std::string& path);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_PATHS_H_
