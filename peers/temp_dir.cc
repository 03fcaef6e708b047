#include "peers/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>  // mkdtemp, on Apple systems

#include <filesystem>

namespace ostrel::peers {

TempDir::TempDir() {
  // Short, so that socket paths inside stay far below the 104-byte limit.
  char pattern[] = "/tmp/ostrel-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace ostrel::peers
