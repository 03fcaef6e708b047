#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app_presence.h"

namespace ostrel::tap {
namespace {

// The socket flag of a listening socket in /proc/net/unix.
constexpr unsigned long kAcceptConnections = 0x10000;

// A socket of another user is no application the host would talk to.
bool isOwnSocketFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == ::geteuid();
}

// An application that bound a relative path is listed by that path.
bool samePath(const std::string& listed, const std::string& path) {
  if (listed == path) return true;
  return !listed.empty() && listed[0] != '/' && path.size() > listed.size() &&
         path.compare(path.size() - listed.size(), listed.size(), listed) == 0 &&
         path[path.size() - listed.size() - 1] == '/';
}

}  // namespace

bool appListening(const std::string& path) {
  if (!isOwnSocketFile(path)) return false;
  // Num RefCount Protocol Flags Type St Inode Path
  std::ifstream table("/proc/net/unix");
  // Without the table (no /proc), a socket file is taken for a listener.
  if (!table) return true;
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num;
    std::string refs;
    std::string protocol;
    std::string flags;
    std::string type;
    std::string state;
    std::string inode;
    if (!(fields >> num >> refs >> protocol >> flags >> type >> state >> inode)) continue;
    std::string listed;
    std::getline(fields >> std::ws, listed);
    if (std::strtoul(flags.c_str(), nullptr, 16) & kAcceptConnections && samePath(listed, path)) {
      return true;
    }
  }
  return false;
}

}  // namespace ostrel::tap
