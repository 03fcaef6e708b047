#ifndef OSTREL_SETUP_RUNNING_BROWSERS_H_
#define OSTREL_SETUP_RUNNING_BROWSERS_H_

// Chromium-family browsers running now with their own profile folder
// (--user-data-dir), found from their command lines. Such a browser reads
// host manifests only from that folder. Reads only; empty where the system
// does not show other processes' command lines.

#include <sys/types.h>

#include <string>
#include <vector>

namespace ostrel::setup {

struct RunningBrowser {
  pid_t pid = -1;
  std::string program;      // argv[0]
  std::string userDataDir;  // as given, made absolute against its folder
};

std::vector<RunningBrowser> browsersWithUserDataDir();

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_RUNNING_BROWSERS_H_
