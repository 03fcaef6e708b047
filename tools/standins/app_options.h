#ifndef OSTREL_TOOLS_STANDINS_APP_OPTIONS_H_
#define OSTREL_TOOLS_STANDINS_APP_OPTIONS_H_

// Command line of ostrel-standin-app. Parsing only: it neither opens the
// socket nor prints anything.

#include <optional>
#include <string>
#include <vector>

namespace ostrel::standins {

struct AppOptions {
  std::optional<std::string> socketPath;  // --socket; absent: the host's own choice
  bool echo = false;                      // --echo
  bool full = false;                      // --full: never shorten payloads
  bool help = false;                      // --help
};

// The options, or an error in words in `error`.
std::optional<AppOptions> parseAppOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kAppHelp;

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_APP_OPTIONS_H_
