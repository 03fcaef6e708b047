#include "socket_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tools/common/paths.h"

namespace ostrel::appcheck {

std::string modeText(mode_t mode) {
  std::string text = S_ISDIR(mode) ? "d" : S_ISSOCK(mode) ? "s" : S_ISLNK(mode) ? "l" : "-";
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
  return text;
}

SocketFilesVerdict judgeSocketFiles(const std::string& path, uid_t owner) {
  SocketFilesVerdict verdict;
  struct stat socket {};
  if (::lstat(path.c_str(), &socket) != 0) {
    verdict.seen = "cannot look at " + path + ": " + std::strerror(errno);
    return verdict;
  }
  const std::string folder = common::parentFolder(path);
  struct stat directory {};
  if (::stat(folder.c_str(), &directory) != 0) {
    verdict.seen = "cannot look at the folder " + folder + ": " + std::strerror(errno);
    return verdict;
  }
  verdict.seen = "socket " + modeText(socket.st_mode) + " of user id " +
                 std::to_string(socket.st_uid) + ", folder " + modeText(directory.st_mode) +
                 " of user id " + std::to_string(directory.st_uid);
  std::string wrong;
  const auto fault = [&wrong](const std::string& what) {
    wrong += (wrong.empty() ? "" : "; ") + what;
  };
  if (!S_ISSOCK(socket.st_mode)) fault(path + " is not a socket");
  if (socket.st_uid != owner || directory.st_uid != owner) {
    fault("they must belong to user id " + std::to_string(owner) +
          ", whose hosts connect (a host refuses an application of another user)");
  }
  if ((directory.st_mode & 077) != 0) {
    fault(
        "the folder is open to others: make it 0700, so that nobody else can place, replace "
        "or reach a socket in it");
  }
  if ((socket.st_mode & 077) != 0) {
    fault(
        "the socket file is open to others: make it 0600, with chmod() between bind() and "
        "listen() (nobody can connect before listen(); ostrel_app_listen() does so)");
  }
  verdict.pass = wrong.empty();
  if (!wrong.empty()) verdict.seen += ": " + wrong;
  return verdict;
}

std::optional<SocketIdentity> socketAt(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return std::nullopt;
#if defined(__APPLE__)
  const timespec changed = status.st_ctimespec;
#else
  const timespec changed = status.st_ctim;
#endif
  return SocketIdentity{status.st_ino, changed.tv_sec, changed.tv_nsec};
}

}  // namespace ostrel::appcheck
