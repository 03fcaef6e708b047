#include "app_options.h"

#include <cstdlib>
#include <vector>

#include "command_line.h"
#include "host/settings.h"

namespace ostrel::standins {

const char* const kAppHelp =
    R"HELP(Usage: ostrel-standin-app [--socket PATH] [--echo] [--full] [--raw]

Stands in for the desktop application: listens on the socket that
ostrel-native-host connects to and prints every frame the host sends,
with a timestamp and its size. JSON is shown as text, other text is
marked "(not JSON)", binary payloads are shown as hex, and long payloads
are shortened.

Each line typed on standard input is sent to the host as one frame.
Lines typed while no host is connected wait for the next connection.
A line that is not JSON is refused unless --raw is given. Lines that
start with "/" are commands:
  /close   close the connection(s) to the host (it will reconnect)
  /quit    stop, like Ctrl-C
  /help    list these commands
Any other "/" line is refused (with --raw it is sent as it is).

Options:
  --socket PATH  listen on PATH instead of the host's socket path
                 ($OSTREL_SOCKET_PATH, else
                 ~/Library/Application Support/ostrel/browser.sock)
  --echo         send every frame received straight back to the host
  --full         print payloads whole instead of shortening them
  --raw          send lines that are not JSON, and unknown /commands, as
                 they are
  --help         show this text

Ctrl-C (or SIGTERM) stops the tool, removes its socket and exits with 0.
)HELP";

std::optional<AppOptions> parseAppOptions(int argc, char** argv, std::string& error) {
  static const option kOptions[] = {
      {"socket", required_argument, nullptr, 's'}, {"echo", no_argument, nullptr, 'e'},
      {"full", no_argument, nullptr, 'f'},         {"raw", no_argument, nullptr, 'r'},
      {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
  AppOptions options;
  bool ok = false;
  const std::vector<std::string> operands = parseCommandLine(
      "ostrel-standin-app", argc, argv, "h", kOptions,
      [&](int option, const std::string& value) {
        switch (option) {
          case 's':
            if (value.empty()) error = "--socket needs a non-empty path";
            options.socketPath = value;
            return !value.empty();
          case 'e':
            options.echo = true;
            return true;
          case 'f':
            options.full = true;
            return true;
          case 'r':
            options.raw = true;
            return true;
          default:
            options.help = true;
            return true;
        }
      },
      ok);
  if (ok && !operands.empty()) {
    error = "unexpected argument '" + operands.front() + "' (see --help)";
    ok = false;
  }
  if (!ok) return std::nullopt;
  return options;
}

std::optional<std::string> resolveSocketPath(const std::optional<std::string>& option,
                                             std::string& error) {
  if (option) return option;
  if (const char* fromEnvironment = std::getenv(kSocketPathVariable)) {
    if (*fromEnvironment == '\0') {
      error = std::string(kSocketPathVariable) + " is set but empty";
      return std::nullopt;
    }
    return std::string(fromEnvironment);
  }
  const std::optional<std::string> home = homeDirectory();
  if (!home) {
    error = "cannot find the home directory; give --socket PATH";
    return std::nullopt;
  }
  return defaultSocketPath(*home);
}

}  // namespace ostrel::standins
