// Stands in for the launcher in fault tests: appends its first argument as
// one line to the file named by OSTREL_FAULT_LAUNCH_LOG, then exits at once.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* log = std::getenv("OSTREL_FAULT_LAUNCH_LOG");
  if (log == nullptr) return 2;
  const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return 3;
  const std::string line = std::string(argc > 1 ? argv[1] : "") + "\n";
  const bool whole = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  return whole ? 0 : 4;
}
