#ifndef OSTREL_TOOLS_COMMON_TRUSTED_PATH_H_
#define OSTREL_TOOLS_COMMON_TRUSTED_PATH_H_

// Reaching files on behalf of the user running the program (its effective
// user id) so that no other user can steer where a write lands or what a
// read blocks on. A path is walked from "/" one name at a time: each folder
// is opened without following a link (O_NOFOLLOW) and checked on the opened
// descriptor (fstat): it must be a folder owned by this user or by root,
// whose entries no other user may change (not writable by others, nor by a
// group other than this user's, unless sticky as /tmp is). A symbolic link
// on the way is followed only when this user or root owns it, and what it
// names is walked by the same rules. Callers then work relative to the
// folder's descriptor (openat, renameat, unlinkat), so the folder checked is
// the folder used.
//
// It checks where a file lies, not the file itself: the callers look at
// the type and owner of what they open, on its descriptor.

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::common {

// A descriptor that closes itself.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1);
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// `path` made absolute against the working folder (unchanged when it is).
std::string absolutePath(const std::string& path);

// "alice (uid 1000)", or "uid 1000" for an id the system has no name for.
std::string userText(uid_t user);

struct OpenedFolder {
  Descriptor fd;        // open when the folder was reached
  std::string path;     // where it was reached, links followed
  std::string problem;  // why it may not be used; empty otherwise
  // A folder on the way does not exist (and none was to be made); not a
  // problem: `path` is where the walk stopped.
  bool missing = false;
};

// Opens the folder `path` (absolute, or relative to the working folder).
// With `createMode`, folders that do not exist are made with exactly that
// mode, whatever the umask, and appended to `created`, outermost first.
OpenedFolder openTrustedFolder(const std::string& path,
                               std::optional<mode_t> createMode = std::nullopt,
                               std::vector<std::string>* created = nullptr);

// A file's place: the folder that holds it, checked, and its name there.
struct FilePlace {
  OpenedFolder folder;
  std::string name;
  std::string path;  // folder.path + "/" + name
  // When `path` was reached through a symbolic link at the name given: that
  // link's path.
  std::optional<std::string> link;
  std::string problem;  // folder.problem, or why a link was not followed
  // What lies at the place, not followed (lstat); st_mode 0 when nothing.
  struct stat entry {};
};

// The place of `path`. With `followLinks`, a symbolic link at the last name
// is followed (by the rules above, at most 40 times) and the place is where
// it leads; otherwise the place is the link itself.
FilePlace reachFile(const std::string& path, bool followLinks);

// Why a file opened for this user's use may not be trusted: it is not owned
// by this user. Empty when it is.
std::string foreignOwnerProblem(const struct stat& info, const std::string& path);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_TRUSTED_PATH_H_
