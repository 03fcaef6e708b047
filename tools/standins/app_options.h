#ifndef OSTREL_TOOLS_STANDINS_APP_OPTIONS_H_
#define OSTREL_TOOLS_STANDINS_APP_OPTIONS_H_

// Command line of ostrel-standin-app, and where it listens. Parsing only:
// it neither opens the socket nor prints anything but getopt's own
// complaints.

#include <optional>
#include <string>

namespace ostrel::standins {

struct AppOptions {
  std::optional<std::string> socketPath;  // --socket; absent: the host's own choice
  bool echo = false;                      // --echo
  bool full = false;                      // --full: never shorten payloads
  bool raw = false;                       // --raw: send any line, JSON or not
  bool help = false;                      // --help
};

// The options, or an error in words in `error` (empty when getopt has
// already said what is wrong on standard error).
std::optional<AppOptions> parseAppOptions(int argc, char** argv, std::string& error);

// The path the host would use: `option` when given, else OSTREL_SOCKET_PATH,
// else the default path below the home directory. Absent, with `error` set,
// when none can be settled.
std::optional<std::string> resolveSocketPath(const std::optional<std::string>& option,
                                             std::string& error);

extern const char* const kAppHelp;

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_APP_OPTIONS_H_
