#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "tools/common/paths.h"
#include "tools/common/trusted_path.h"

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

// Reads `fd` to its end, at most `limit` bytes; false on an error or when
// there is more.
bool readUpTo(int fd, std::size_t limit, std::string& into) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    into.append(buffer, static_cast<std::size_t>(n));
    if (into.size() > limit) {
      errno = EFBIG;
      return false;
    }
  }
}

// A new file for this user only, beside `name` in `folder`, never one
// that existed.
common::Descriptor makeTemporary(int folder, const std::string& name, std::string& temporary) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", random());
    temporary = "." + name + suffix;
    int fd = ::openat(folder, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return common::Descriptor(fd);
  }
  return {};
}

// Run as root, why the file at `path` is not to be read: another user
// could choose what it is (a folder or link of theirs on the way), and
// root would report on whatever that user points it at. Empty otherwise.
std::string steeredByAnother(const std::string& path) {
  if (::geteuid() != 0) return {};
  const std::string problem = common::reachFile(path, true).problem;
  return problem.empty()
             ? problem
             : "as root, this tool reads no file that another user could choose: " + problem;
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
  } else if (std::string steered = steeredByAnother(path); !steered.empty()) {
    contents.state = FileState::kSteered;
    contents.reason = std::move(steered);
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
  common::OpenedFolder folder = common::openTrustedFolder(path, mode, &created);
  if (!folder.problem.empty()) return folder.problem;
  return std::nullopt;
}

WriteTarget examineForWrite(const std::string& path) {
  WriteTarget target;
  common::FilePlace place = common::reachFile(path, true);
  target.path = place.path;
  target.link = place.link;
  FileContents& contents = target.contents;
  if (!place.problem.empty()) {
    contents.state = FileState::kUnreadable;
    contents.reason = place.problem;
    return target;
  }
  if (place.folder.missing || place.entry.st_mode == 0) return target;  // nothing there yet
  common::Descriptor fd(::openat(place.folder.fd.get(), place.name.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
    contents.state = FileState::kUnreadable;
    contents.reason = failure("read", place.path, errno);
    return target;
  }
  contents.state = FileState::kUnreadable;
  if (!S_ISREG(info.st_mode)) {
    contents.reason = place.path + " is not a regular file";
  } else if (std::string owner = common::foreignOwnerProblem(info, place.path); !owner.empty()) {
    contents.reason = owner;
  } else if (static_cast<std::size_t>(info.st_size) > kLargestManaged) {
    contents.reason = place.path + " is larger than " + std::to_string(kLargestManaged) +
                      " bytes, which no manifest is";
  } else if (!readUpTo(fd.get(), kLargestManaged, contents.text)) {
    contents.reason = failure("read", place.path, errno);
  } else {
    contents.state = FileState::kPresent;
  }
  return target;
}

Problem writeFileAtomically(const std::string& path, std::string_view contents, mode_t mode) {
  common::FilePlace place = common::reachFile(path, false);
  if (!place.problem.empty()) return "cannot write " + path + ": " + place.problem;
  if (place.folder.missing) {
    return "cannot write " + path + ": " + place.folder.path + " does not exist";
  }
  if (place.entry.st_mode != 0 && !S_ISREG(place.entry.st_mode) && !S_ISLNK(place.entry.st_mode)) {
    return "cannot write " + place.path + ": it is not a regular file";
  }
  const int folder = place.folder.fd.get();
  std::string temporary;
  common::Descriptor fd = makeTemporary(folder, place.name, temporary);
  if (!fd.valid()) return failure("write into", place.folder.path, errno);
  bool written = writeEverything(fd.get(), contents) && ::fchmod(fd.get(), mode) == 0 &&
                 ::fsync(fd.get()) == 0;
  int error = errno;
  if (::close(fd.release()) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && ::renameat(folder, temporary.c_str(), folder, place.name.c_str()) == 0) {
    // Makes the rename durable; a failure here loses nothing the caller
    // could act on.
    ::fsync(folder);
    return std::nullopt;
  }
  if (written) error = errno;
  ::unlinkat(folder, temporary.c_str(), 0);
  return failure("write", place.path, error);
}

Problem removeFile(const std::string& path) {
  common::FilePlace place = common::reachFile(path, false);
  if (!place.problem.empty()) return "cannot remove " + path + ": " + place.problem;
  if (place.folder.missing) return failure("remove", path, ENOENT);
  if (::unlinkat(place.folder.fd.get(), place.name.c_str(), 0) != 0) {
    return failure("remove", place.path, errno);
  }
  return std::nullopt;
}

Problem removeFolder(const std::string& path) { return removeFolderIfEmpty(path).problem; }

FolderRemoval removeFolderIfEmpty(const std::string& path) {
  FolderRemoval removal;
  common::FilePlace place = common::reachFile(path, false);
  if (!place.problem.empty()) {
    removal.problem = "cannot remove the folder " + path + ": " + place.problem;
  } else if (!place.folder.missing &&
             ::unlinkat(place.folder.fd.get(), place.name.c_str(), AT_REMOVEDIR) != 0) {
    if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
      removal.problem = failure("remove the folder", place.path, errno);
    }
  } else {
    removal.removed = !place.folder.missing;
  }
  return removal;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isSymbolicLink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::string joinPath(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace ostrel::setup
