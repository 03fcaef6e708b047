// Starts a program with its standard descriptors arranged as some launchers
// leave them, then execs it:
//   descriptor_launcher [--close N]... [--nonblocking N]... [--inherit N]... -- PROGRAM ARGS...
// --close N closes descriptor N; --nonblocking N sets O_NONBLOCK on it;
// --inherit N opens /dev/null on N without close-on-exec, as a browser's own
// pipe would be. Exits 127 when anything fails.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  int i = 1;
  for (; i + 1 < argc && std::strcmp(argv[i], "--") != 0; i += 2) {
    const int fd = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--close") == 0) {
      ::close(fd);
    } else if (std::strcmp(argv[i], "--nonblocking") == 0) {
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return 127;
    } else if (std::strcmp(argv[i], "--inherit") == 0) {
      const int opened = ::open("/dev/null", O_RDONLY);
      if (opened < 0 || (opened != fd && (::dup2(opened, fd) != fd || ::close(opened) != 0))) {
        return 127;
      }
    } else {
      return 127;
    }
  }
  if (i + 1 >= argc) return 127;
  ::execv(argv[i + 1], argv + i + 1);
  return 127;
}
