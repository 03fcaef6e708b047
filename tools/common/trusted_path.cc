#include "tools/common/trusted_path.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>

#include "tools/common/paths.h"

namespace ostrel::common {
namespace {

constexpr int kMaxLinks = 40;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string joined(const std::string& folder, std::string_view name) {
  return folder == "/" ? "/" + std::string(name) : folder + "/" + std::string(name);
}

// The names of `path`, without empty ones and ".".
void appendNames(std::string_view path, std::deque<std::string>& names, bool atFront) {
  std::deque<std::string> found;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view name = path.substr(0, slash);
    if (!name.empty() && name != ".") found.emplace_back(name);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  if (atFront) {
    names.insert(names.begin(), found.begin(), found.end());
  } else {
    names.insert(names.end(), found.begin(), found.end());
  }
}

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool trustedOwner(uid_t owner) { return owner == ::geteuid() || owner == 0; }

// Why the opened folder at `path` may not be used; empty when it may.
std::string folderProblem(const struct stat& info, const std::string& path) {
  if (!S_ISDIR(info.st_mode)) return path + " is not a folder";
  if (!trustedOwner(info.st_uid)) {
    return path + " belongs to " + userText(info.st_uid) + ", not to " + userText(::geteuid()) +
           ", who runs this: run it as that user";
  }
  const bool sticky = (info.st_mode & S_ISVTX) != 0;
  if (!sticky && (info.st_mode & S_IWOTH) != 0) {
    return path + " may be changed by every user (mode " + modeText(info.st_mode) + ")";
  }
  if (!sticky && (info.st_mode & S_IWGRP) != 0 && info.st_gid != ::getegid()) {
    return path + " may be changed by the members of group " + std::to_string(info.st_gid) +
           " (mode " + modeText(info.st_mode) + ")";
  }
  return {};
}

std::string failure(std::string_view action, const std::string& path, int error) {
  return "cannot " + std::string(action) + " " + path + ": " + std::strerror(error);
}

// The text of the link `name` in `folder`, or nothing.
std::optional<std::string> linkText(int folder, const std::string& name, off_t size) {
  std::string text(static_cast<std::size_t>(size > 0 ? size : 4096) + 1, '\0');
  ssize_t length = ::readlinkat(folder, name.c_str(), text.data(), text.size());
  if (length < 0 || static_cast<std::size_t>(length) >= text.size()) return std::nullopt;
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// The walk itself: `names` from the folder `at` (open in `current`).
class Walk {
 public:
  Walk(std::optional<mode_t> createMode, std::vector<std::string>* created)
      : createMode_(createMode), created_(created) {}

  OpenedFolder run(const std::string& path) {
    OpenedFolder result;
    current_.reset(::open("/", kFolderFlags));
    at_ = "/";
    if (!checkCurrent(result)) return result;
    appendNames(absolutePath(path), names_, false);
    while (!names_.empty()) {
      std::string name = std::move(names_.front());
      names_.pop_front();
      if (!step(name, result)) return result;
    }
    result.fd = std::move(current_);
    result.path = at_;
    return result;
  }

 private:
  bool checkCurrent(OpenedFolder& result) {
    struct stat info {};
    if (!current_.valid() || ::fstat(current_.get(), &info) != 0) {
      result.problem = failure("open the folder", at_, errno);
      return false;
    }
    result.problem = folderProblem(info, at_);
    return result.problem.empty();
  }

  // Opens `name` below the current folder; false once the walk ends.
  bool step(const std::string& name, OpenedFolder& result) {
    const std::string next = name == ".." ? parentFolder(at_) : joined(at_, name);
    int fd = ::openat(current_.get(), name.c_str(), kFolderFlags);
    int error = errno;
    if (fd < 0 && error == ENOENT && createMode_ && name != "..") {
      fd = make(name, next, result);
      error = errno;
    }
    if (fd < 0) {
      if (!result.problem.empty()) return false;
      return notOpened(name, next, error, result);
    }
    current_.reset(fd);
    at_ = next;
    return checkCurrent(result);
  }

  int make(const std::string& name, const std::string& path, OpenedFolder& result) {
    const bool made = ::mkdirat(current_.get(), name.c_str(), *createMode_) == 0;
    if (!made && errno != EEXIST) {
      result.problem = failure("create the folder", path, errno);
      return -1;
    }
    int fd = ::openat(current_.get(), name.c_str(), kFolderFlags);
    if (fd < 0 || !made) return fd;
    if (created_ != nullptr) created_->push_back(path);
    if (::fchmod(fd, *createMode_) != 0) {
      result.problem = failure("set the mode of", path, errno);
      ::close(fd);
      return -1;
    }
    return fd;
  }

  bool notOpened(const std::string& name, const std::string& path, int error,
                 OpenedFolder& result) {
    if (error == ENOENT) {
      result.missing = true;
      result.path = path;
      return false;
    }
    struct stat info {};
    if (::fstatat(current_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      result.problem = failure("open the folder", path, error);
      return false;
    }
    if (!S_ISLNK(info.st_mode)) {
      result.problem = createMode_ ? "cannot create the folder " + path + ": a file is in the way"
                                   : path + " is not a folder";
      return false;
    }
    if (!trustedOwner(info.st_uid)) {
      result.problem = path + " is a symbolic link that belongs to " + userText(info.st_uid) +
                       ", not to " + userText(::geteuid()) + ", who runs this; it is not followed";
      return false;
    }
    std::optional<std::string> target = linkText(current_.get(), name, info.st_size);
    if (!target || ++links_ > kMaxLinks) {
      result.problem = failure("follow the link", path, target ? ELOOP : errno);
      return false;
    }
    appendNames(*target, names_, true);
    if (target->starts_with('/')) {
      current_.reset(::open("/", kFolderFlags));
      at_ = "/";
      return checkCurrent(result);
    }
    return true;
  }

  std::optional<mode_t> createMode_;
  std::vector<std::string>* created_;
  std::deque<std::string> names_;
  Descriptor current_;
  std::string at_;
  int links_ = 0;
};

}  // namespace

void Descriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::string absolutePath(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::string here(4096, '\0');
  if (::getcwd(here.data(), here.size()) == nullptr) return "/" + path;
  here.resize(std::strlen(here.c_str()));
  return joined(here, path);
}

std::string userText(uid_t user) {
  passwd entry{};
  passwd* found = nullptr;
  std::string buffer(16384, '\0');
  std::string id = "uid " + std::to_string(user);
  if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return id;
  }
  return std::string(entry.pw_name) + " (" + id + ")";
}

OpenedFolder openTrustedFolder(const std::string& path, std::optional<mode_t> createMode,
                               std::vector<std::string>* created) {
  return Walk(createMode, created).run(path);
}

FilePlace reachFile(const std::string& path, bool followLinks) {
  FilePlace place;
  std::string current = absolutePath(path);
  for (int links = 0;; ++links) {
    place.folder = openTrustedFolder(parentFolder(current));
    place.name = current.substr(current.rfind('/') + 1);
    place.path = place.folder.missing ? current : joined(place.folder.path, place.name);
    place.entry = {};
    place.problem = place.folder.problem;
    if (!place.folder.fd.valid()) return place;
    if (place.name.empty() || place.name == "." || place.name == "..") {
      place.problem = current + " names no file";
      return place;
    }
    if (::fstatat(place.folder.fd.get(), place.name.c_str(), &place.entry, AT_SYMLINK_NOFOLLOW) !=
        0) {
      place.entry = {};
      if (errno != ENOENT) place.problem = failure("look at", place.path, errno);
      return place;
    }
    if (!followLinks || !S_ISLNK(place.entry.st_mode)) return place;
    if (!trustedOwner(place.entry.st_uid)) {
      place.problem = place.path + " is a symbolic link that belongs to " +
                      userText(place.entry.st_uid) + ", not to " + userText(::geteuid()) +
                      ", who runs this; it is not followed";
      return place;
    }
    std::optional<std::string> target =
        linkText(place.folder.fd.get(), place.name, place.entry.st_size);
    if (!target || links >= kMaxLinks) {
      place.problem = failure("follow the link", place.path, target ? ELOOP : errno);
      return place;
    }
    if (!place.link) place.link = place.path;
    current = target->starts_with('/') ? *target : joined(place.folder.path, *target);
  }
}

std::string foreignOwnerProblem(const struct stat& info, const std::string& path) {
  if (info.st_uid == ::geteuid()) return {};
  return path + " belongs to " + userText(info.st_uid) + ", not to " + userText(::geteuid()) +
         ", who runs this";
}

}  // namespace ostrel::common
