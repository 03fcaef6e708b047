// Stands in for the launcher program in tests. Appends one line per start to
// the file named by OSTREL_TEST_LAUNCH_RECORD:
//   <arguments separated by '|'> stdin=<target> stdout=<target> sigpipe=<default|other>
//   mask=<empty|blocked> inherited=<descriptors above 2, comma-separated, or none>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/common/process_table.h"

namespace {

// The open descriptors above 2.
std::string inheritedDescriptors() {
  std::string list;
  for (const int fd : ostrel::common::ownDescriptors()) {
    if (fd > 2) list += (list.empty() ? "" : ",") + std::to_string(fd);
  }
  return list.empty() ? "none" : list;
}

}  // namespace

int main(int argc, char** argv) {
  const char* record = std::getenv("OSTREL_TEST_LAUNCH_RECORD");
  if (record == nullptr) return 2;
  // Before anything here opens a descriptor of its own.
  const std::string inherited = inheritedDescriptors();
  std::string line;
  for (int i = 1; i < argc; ++i) line += std::string(i > 1 ? "|" : "") + argv[i];
  struct sigaction current {};
  sigaction(SIGPIPE, nullptr, &current);
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  bool anyBlocked = false;
  for (int sig = 1; sig < 32; ++sig) anyBlocked |= sigismember(&mask, sig) == 1;
  line += " stdin=" + ostrel::common::ownDescriptorTarget(0) +
          " stdout=" + ostrel::common::ownDescriptorTarget(1) +
          " sigpipe=" + (current.sa_handler == SIG_DFL ? "default" : "other") +
          " mask=" + (anyBlocked ? "blocked" : "empty") + " inherited=" + inherited + "\n";
  FILE* out = std::fopen(record, "a");
  if (out == nullptr) return 3;
  const bool whole = std::fputs(line.c_str(), out) >= 0;
  return std::fclose(out) == 0 && whole ? 0 : 4;
}
