#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/common/paths.h"

namespace ostrel::setup {
namespace {

std::string failure(std::string_view action, const std::string& path, int error) {
  return "cannot " + std::string(action) + " " + path + ": " + std::strerror(error);
}

bool writeEverything(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Makes a rename inside `folder` durable; failure here loses nothing the
// caller could act on, so it is not reported.
void syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

FileContents readWholeFile(const std::string& path, std::size_t bound) {
  FileContents contents;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    contents.state =
        error == ENOENT || error == ENOTDIR ? FileState::kMissing : FileState::kUnreadable;
    contents.reason = std::strerror(error);
    return contents;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    contents.state = FileState::kUnreadable;
    contents.reason = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    contents.state = FileState::kNotRegular;
    contents.reason = "not a regular file";
  } else {
    contents.state = FileState::kPresent;
  }
  char buffer[65536];
  while (contents.state == FileState::kPresent) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      contents.state = FileState::kUnreadable;
      contents.reason = std::strerror(errno);
    } else if (n == 0) {
      break;
    } else if (contents.text.size() + static_cast<std::size_t>(n) > bound) {
      contents.state = FileState::kTooLarge;
      contents.reason = "larger than " +
                        (bound % (std::size_t{1} << 20) == 0 ? std::to_string(bound >> 20) + " MiB"
                                                             : std::to_string(bound) + " bytes") +
                        ", the most this tool reads of such a file";
    } else {
      contents.text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (contents.state != FileState::kPresent) contents.text.clear();
  return contents;
}

Problem makeDirectories(const std::string& path, mode_t mode, std::vector<std::string>& created) {
  if (path.empty() || isDirectory(path)) return std::nullopt;
  std::string parent = common::parentFolder(path);
  if (parent != path) {
    if (Problem problem = makeDirectories(parent, mode, created)) return problem;
  }
  if (::mkdir(path.c_str(), mode) != 0) {
    if (errno != EEXIST) return failure("create the folder", path, errno);
    if (!isDirectory(path)) return "cannot create the folder " + path + ": a file is in the way";
    return std::nullopt;  // made by someone else meanwhile
  }
  created.push_back(path);
  if (::chmod(path.c_str(), mode) != 0) return failure("set the mode of", path, errno);
  return std::nullopt;
}

std::optional<std::string> followLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::vector<char> target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1);
    ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return current;
    std::string next(target.data(), static_cast<std::size_t>(length));
    current = next.starts_with('/') ? next : joinPath(common::parentFolder(current), next);
  }
  return std::nullopt;
}

Problem writeFileAtomically(const std::string& linkOrPath, std::string_view contents) {
  std::optional<std::string> resolved = followLinks(linkOrPath);
  if (!resolved) return failure("write", linkOrPath, ELOOP);
  const std::string& path = *resolved;
  std::string folder = common::parentFolder(path);
  std::string name = path.substr(path.rfind('/') + 1);
  std::string pattern = joinPath(folder, "." + name + ".XXXXXX");
  std::vector<char> temporary(pattern.begin(), pattern.end());
  temporary.push_back('\0');
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return failure("write into", folder, errno);
  bool written = writeEverything(fd, contents) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && ::rename(temporary.data(), path.c_str()) == 0) {
    syncFolder(folder);
    return std::nullopt;
  }
  if (written) error = errno;
  ::unlink(temporary.data());
  return failure("write", path, error);
}

Problem removeFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return failure("remove", path, errno);
  return std::nullopt;
}

Problem removeFolder(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return failure("remove the folder", path, errno);
  return std::nullopt;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string joinPath(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace ostrel::setup
