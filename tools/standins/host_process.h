#ifndef OSTREL_TOOLS_STANDINS_HOST_PROCESS_H_
#define OSTREL_TOOLS_STANDINS_HOST_PROCESS_H_

// Starts a host the way a browser does: its standard input and output are
// pipes to us, its standard error a third pipe (a host must leave it
// empty), and the extension's origin is its one argument. The host gets its
// own process group, so that Ctrl-C in the terminal reaches only the tool,
// which then ends the host the way a browser would: by closing its input.
// Waiting for the host is left to the caller.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ostrel::standins {

struct HostProcess {
  pid_t pid = -1;
  int input = -1;   // we write the host's standard input here
  int output = -1;  // and read its standard output here
  int errors = -1;  // and its standard error here
};

// `environment` entries ("NAME=value") are added to this process's own.
// All three descriptors are close-on-exec and non-blocking. Absent, with
// `error` set, when the host cannot be started.
std::optional<HostProcess> startHost(const std::string& path, const std::string& origin,
                                     const std::vector<std::string>& environment,
                                     std::string& error);

// The same for any program: argv[0] is its path, or a name looked up in PATH.
std::optional<HostProcess> startProcess(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& environment,
                                        std::string& error);

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_HOST_PROCESS_H_
