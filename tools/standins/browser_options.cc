#include "browser_options.h"

#include <cmath>
#include <cstdlib>

namespace ostrel::standins {
namespace {

// "--name value" or "--name=value"; true when `args[i]` is that option.
bool takeValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
               std::optional<std::string>& value, std::string& error) {
  const std::string& arg = args[i];
  if (arg.starts_with(name + "=")) {
    value = arg.substr(name.size() + 1);
  } else if (arg == name) {
    if (i + 1 == args.size()) {
      error = name + " needs a value";
      value.reset();
      return true;
    }
    value = args[++i];
  } else {
    return false;
  }
  if (value->empty()) {
    error = name + " needs a non-empty value";
    value.reset();
  }
  return true;
}

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

The MESSAGE arguments are sent one by one. Without them, every line
typed on standard input is sent as one message. After the last message
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

std::optional<BrowserOptions> parseBrowserOptions(const std::vector<std::string>& args,
                                                  std::string& error) {
  BrowserOptions options;
  bool operandsOnly = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::optional<std::string> value;
    if (operandsOnly || (!arg.starts_with("--") && arg != "-h")) {
      options.messages.push_back(arg);
    } else if (arg == "--") {
      operandsOnly = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "--full") {
      options.full = true;
    } else if (arg == "--strict") {
      options.strict = true;
    } else if (takeValue(args, i, "--host", value, error)) {
      if (!value) return std::nullopt;
      options.host = *value;
    } else if (takeValue(args, i, "--origin", value, error)) {
      if (!value) return std::nullopt;
      options.origin = *value;
    } else if (takeValue(args, i, "--socket", value, error)) {
      if (!value) return std::nullopt;
      options.socketPath = *value;
    } else if (takeValue(args, i, "--wait", value, error)) {
      if (!value) return std::nullopt;
      const auto seconds = parseSeconds(*value);
      if (!seconds) {
        error = "--wait needs a number of seconds, not '" + *value + "'";
        return std::nullopt;
      }
      options.waitSeconds = *seconds;
    } else {
      error = "unknown option '" + arg + "' (see --help)";
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace ostrel::standins
