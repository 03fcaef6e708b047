#include "tools/common/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel::common {
namespace {

constexpr int kAppend = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr mode_t kPrivate = 0600;

std::string refusal(const std::string& path, const struct stat& info) {
  const char* kind = S_ISLNK(info.st_mode)    ? "a symbolic link"
                     : S_ISFIFO(info.st_mode) ? "a FIFO"
                     : S_ISSOCK(info.st_mode) ? "a socket"
                     : S_ISDIR(info.st_mode)  ? "a folder"
                     : S_ISCHR(info.st_mode)  ? "a device that is no terminal"
                                              : "not a regular file";
  return path + " is " + kind + "; give a file or a terminal";
}

}  // namespace

OpenedLog openLog(const std::string& path) {
  OpenedLog log;
  FilePlace place = reachFile(path, false);
  log.path = place.path;
  if (!place.problem.empty() || place.folder.missing) {
    log.problem = place.folder.missing
                      ? "cannot open " + path + ": " + place.folder.path + " does not exist"
                      : place.problem;
    return log;
  }
  const int folder = place.folder.fd.get();
  const char* name = place.name.c_str();
  // Nothing there: made here, private from the start.
  log.fd.reset(::openat(folder, name, kAppend | O_CREAT | O_EXCL, kPrivate));
  log.created = log.fd.valid();
  if (!log.fd.valid() && errno == EEXIST) {
    // Only a file or a terminal is opened at all: opening some devices
    // does something.
    struct stat before {};
    if (::fstatat(folder, name, &before, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISREG(before.st_mode) && !S_ISCHR(before.st_mode)) {
        log.problem = refusal(log.path, before);
        return log;
      }
      log.problem = foreignOwnerProblem(before, log.path);
      if (!log.problem.empty()) return log;
    }
    log.fd.reset(::openat(folder, name, kAppend));
  }
  if (!log.fd.valid()) {
    log.problem = "cannot open " + log.path + ": " + std::strerror(errno);
    return log;
  }
  struct stat info {};
  if (::fstat(log.fd.get(), &info) != 0) {
    log.problem = "cannot look at " + log.path + ": " + std::strerror(errno);
  } else if (std::string owner = foreignOwnerProblem(info, log.path); !owner.empty()) {
    log.problem = owner;
  } else if (S_ISCHR(info.st_mode) && ::isatty(log.fd.get()) == 1) {
    log.terminal = true;
  } else if (!S_ISREG(info.st_mode)) {
    log.problem = refusal(log.path, info);
  } else if ((info.st_mode & 07777) != kPrivate && ::fchmod(log.fd.get(), kPrivate) != 0) {
    log.problem = "cannot make " + log.path + " private (mode 0600): " + std::strerror(errno);
  }
  if (!log.problem.empty()) {
    log.fd.reset();
    if (log.created) ::unlinkat(folder, name, 0);
    log.created = false;
  }
  return log;
}

}  // namespace ostrel::common
