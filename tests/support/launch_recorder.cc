// Stands in for the launcher program in tests. Appends one line per start to
// the file named by OSTREL_TEST_LAUNCH_RECORD:
//   <arguments separated by '|'> stdin=<target> stdout=<target> sigpipe=<default|other>
//   mask=<empty|blocked> inherited=<descriptors above 2, comma-separated, or none>
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string target(int fd) {
  char path[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
  return n < 0 ? "closed" : std::string(path, static_cast<std::size_t>(n));
}

// The open descriptors above 2, but for the one that lists them.
std::string inheritedDescriptors() {
  std::string list;
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return "unknown";
  while (const dirent* entry = ::readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == ::dirfd(folder)) continue;
    list += (list.empty() ? "" : ",") + std::to_string(fd);
  }
  ::closedir(folder);
  return list.empty() ? "none" : list;
}

}  // namespace

int main(int argc, char** argv) {
  const char* record = std::getenv("OSTREL_TEST_LAUNCH_RECORD");
  if (record == nullptr) return 2;
  std::string line;
  for (int i = 1; i < argc; ++i) line += std::string(i > 1 ? "|" : "") + argv[i];
  struct sigaction current {};
  sigaction(SIGPIPE, nullptr, &current);
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  bool anyBlocked = false;
  for (int sig = 1; sig < 32; ++sig) anyBlocked |= sigismember(&mask, sig) == 1;
  line += " stdin=" + target(0) + " stdout=" + target(1) +
          " sigpipe=" + (current.sa_handler == SIG_DFL ? "default" : "other") +
          " mask=" + (anyBlocked ? "blocked" : "empty") + " inherited=" + inheritedDescriptors() +
          "\n";
  FILE* out = std::fopen(record, "a");
  if (out == nullptr) return 3;
  std::fputs(line.c_str(), out);
  std::fclose(out);
  return 0;
}
