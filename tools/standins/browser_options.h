#ifndef OSTREL_TOOLS_STANDINS_BROWSER_OPTIONS_H_
#define OSTREL_TOOLS_STANDINS_BROWSER_OPTIONS_H_

// Command line of ostrel-standin-browser. Parsing only: it neither starts
// the host nor checks the messages, and prints nothing but getopt's own
// complaints.

#include <optional>
#include <string>
#include <vector>

namespace ostrel::standins {

inline constexpr const char* kDefaultOrigin = "chrome-extension://ostrelstandinbrowserextension/";

struct BrowserOptions {
  std::optional<std::string> host;        // --host; absent: the host beside this tool
  std::string origin = kDefaultOrigin;    // --origin
  std::optional<std::string> socketPath;  // --socket: OSTREL_SOCKET_PATH for the host
  double waitSeconds = 1.0;               // --wait: listening time after the last message
  bool raw = false;                       // --raw: send lines that are not JSON too
  bool full = false;                      // --full: never shorten payloads
  bool strict = false;                    // --strict: faults make the exit status 1
  bool help = false;                      // --help
  std::vector<std::string> messages;      // operands: messages to send
};

// The options, or an error in words in `error` (empty when getopt has
// already said what is wrong on standard error).
std::optional<BrowserOptions> parseBrowserOptions(int argc, char** argv, std::string& error);

extern const char* const kBrowserHelp;

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_BROWSER_OPTIONS_H_
