#ifndef OSTREL_TOOLS_APPCHECK_SOCKET_FILES_H_
#define OSTREL_TOOLS_APPCHECK_SOCKET_FILES_H_

// Judges the application's socket file and the folder that holds it: both
// must belong to `owner` (the user whose hosts connect: the host refuses an
// application of another user), the folder must be closed to everybody
// else, and the socket file must not be writable by others (writing is
// what connecting needs). Looks only; changes nothing.

#include <sys/types.h>

#include <string>

namespace ostrel::appcheck {

struct SocketFilesVerdict {
  bool pass = false;
  std::string seen;  // in words: what the files are, and what is wrong
};

SocketFilesVerdict judgeSocketFiles(const std::string& path, uid_t owner);

// "drwx------"-like text for a mode from stat(2).
std::string modeText(mode_t mode);

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_SOCKET_FILES_H_
