#include "peers/temp_dir.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>  // mkdtemp, on Apple systems

#include <filesystem>

namespace ostrel::peers {
namespace {

// The temporary folder by the path the system resolves it to, found once:
// on macOS /tmp is a link to /private/tmp, and the paths that a program
// resolves (its own, a bundle's, a socket's peer) must compare equal to
// those a test builds. Short, so that socket paths inside stay far below
// the 104-byte limit.
const std::string& temporaryFolder() {
  static const std::string folder = [] {
    char resolved[PATH_MAX];
    return ::realpath("/tmp", resolved) != nullptr ? std::string(resolved) : std::string("/tmp");
  }();
  return folder;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = temporaryFolder() + "/ostrel-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace ostrel::peers
