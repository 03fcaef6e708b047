#include "browser_options.h"

#include <cmath>
#include <cstdlib>

#include "command_line.h"

namespace ostrel::standins {
namespace {

std::optional<double> parseSeconds(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds < 0) {
    return std::nullopt;
  }
  return seconds;
}

}  // namespace

const char* const kBrowserHelp = R"HELP(Usage: ostrel-standin-browser [options] [MESSAGE...]

Stands in for the browser: starts ostrel-native-host as a browser does
(pipes on its standard input and output, the extension's origin as its
argument), sends it JSON messages and prints every frame the host writes,
with a timestamp and its size. Status messages from the host are marked
"status:".

The MESSAGE arguments are sent one by one (after --, a message may start
with '-'). Without them, every line typed on standard input is sent as
one message. After the last message
(or the end of standard input) the tool listens for --wait seconds, then
closes the host's input, as a browser does, and waits for the host to end.

The exit status is the host's own (128+N if signal N killed it). The
tool says so if the host wrote anything to standard error, wrote bytes
that are not a valid frame, or did not end within 5 seconds of its input
closing (it is then killed).

Options:
  --host PATH      the host to start (default: ostrel-native-host beside
                   this tool)
  --origin ORIGIN  the argument given to the host
                   (default: chrome-extension://ostrelstandinbrowserextension/)
  --socket PATH    run the host with OSTREL_SOCKET_PATH=PATH
  --wait SECONDS   how long to listen after the last message (default: 1)
  --raw            also send lines and arguments that are not JSON
  --full           print payloads whole instead of shortening them
  --strict         exit with 1 when the host exited with 0 but wrote to
                   standard error or wrote bytes that are not a frame
  --help           show this text

Ctrl-C closes the host's input at once; a second Ctrl-C kills the host.
)HELP";

std::optional<BrowserOptions> parseBrowserOptions(int argc, char** argv, std::string& error) {
  static const option kOptions[] = {{"host", required_argument, nullptr, 'H'},
                                    {"origin", required_argument, nullptr, 'o'},
                                    {"socket", required_argument, nullptr, 's'},
                                    {"wait", required_argument, nullptr, 'w'},
                                    {"raw", no_argument, nullptr, 'r'},
                                    {"full", no_argument, nullptr, 'f'},
                                    {"strict", no_argument, nullptr, 'S'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  BrowserOptions options;
  // Every option with a value needs a non-empty one.
  auto given = [&error](const char* name, const std::string& value) {
    if (value.empty()) error = std::string(name) + " needs a non-empty value";
    return !value.empty();
  };
  auto take = [&](int option, const std::string& value) {
    switch (option) {
      case 'H':
        options.host = value;
        return given("--host", value);
      case 'o':
        options.origin = value;
        return given("--origin", value);
      case 's':
        options.socketPath = value;
        return given("--socket", value);
      case 'w':
        if (const auto seconds = parseSeconds(value)) {
          options.waitSeconds = *seconds;
          return true;
        }
        error = "--wait needs a number of seconds, not '" + value + "'";
        return false;
      case 'r':
        options.raw = true;
        return true;
      case 'f':
        options.full = true;
        return true;
      case 'S':
        options.strict = true;
        return true;
      default:
        options.help = true;
        return true;
    }
  };
  bool ok = false;
  options.messages =
      parseCommandLine("ostrel-standin-browser", argc, argv, "h", kOptions, take, ok);
  if (!ok) return std::nullopt;
  return options;
}

}  // namespace ostrel::standins
