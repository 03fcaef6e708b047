#include "app_options.h"

namespace ostrel::standins {

const char* const kAppHelp = R"HELP(Usage: ostrel-standin-app [--socket PATH] [--echo] [--full]

Stands in for the desktop application: listens on the socket that
ostrel-native-host connects to and prints every frame the host sends,
with a timestamp and its size. JSON is shown as text, other text is
marked "(not JSON)", binary payloads are shown as hex, and long payloads
are shortened.

Each line typed on standard input is sent to the host as one frame.
Lines typed while no host is connected wait for the next connection.
Two lines are commands instead:
  /close   close the connection(s) to the host (it will reconnect)
  /quit    stop, like Ctrl-C

Options:
  --socket PATH  listen on PATH instead of the host's socket path
                 ($OSTREL_SOCKET_PATH, else
                 ~/Library/Application Support/ostrel/browser.sock)
  --echo         send every frame received straight back to the host
  --full         print payloads whole instead of shortening them
  --help         show this text

Ctrl-C (or SIGTERM) stops the tool, removes its socket and exits with 0.
)HELP";

std::optional<AppOptions> parseAppOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  AppOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--echo") {
      options.echo = true;
    } else if (arg == "--full") {
      options.full = true;
    } else if (arg == "--socket" || arg.starts_with("--socket=")) {
      if (arg == "--socket") {
        if (i + 1 == args.size()) {
          error = "--socket needs a path";
          return std::nullopt;
        }
        options.socketPath = args[++i];
      } else {
        options.socketPath = arg.substr(9);
      }
      if (options.socketPath->empty()) {
        error = "--socket needs a non-empty path";
        return std::nullopt;
      }
    } else {
      error = "unknown argument '" + arg + "' (see --help)";
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace ostrel::standins
