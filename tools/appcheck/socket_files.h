#ifndef OSTREL_TOOLS_APPCHECK_SOCKET_FILES_H_
#define OSTREL_TOOLS_APPCHECK_SOCKET_FILES_H_

// Judges the application's socket file and the folder that holds it: both
// must belong to `owner` (the user whose hosts connect: the host refuses an
// application of another user), the folder must be closed to everybody
// else, and the socket file must give nobody else any permission (0600:
// connecting needs write permission, and some systems ignore a socket's
// mode, so the folder is what keeps others out). Looks only; changes
// nothing.

#include <sys/types.h>

#include <optional>
#include <string>

namespace ostrel::appcheck {

struct SocketFilesVerdict {
  bool pass = false;
  std::string seen;  // in words: what the files are, and what is wrong
};

SocketFilesVerdict judgeSocketFiles(const std::string& path, uid_t owner);

// "drwx------"-like text for a mode from stat(2).
std::string modeText(mode_t mode);

// Tells one socket file from another at the same path: an inode number
// may be given again at once to the next file made, so its change time
// counts too.
struct SocketIdentity {
  ino_t inode = 0;
  long long changedSeconds = 0;
  long changedNanoseconds = 0;
  bool operator==(const SocketIdentity&) const = default;
};

// The socket file at `path` (not followed), or nothing when none is there.
std::optional<SocketIdentity> socketAt(const std::string& path);

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_SOCKET_FILES_H_
