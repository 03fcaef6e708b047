#include "check_options.h"

#include <cstdlib>

#include "app_options.h"
#include "command_line.h"
#include "payload_text.h"

namespace ostrel::appcheck {

const char* const kCheckHelp =
    R"HELP(Usage: ostrel-app-check [OPTIONS] [--] [COMMAND [ARGUMENT...]]

Checks a desktop application against what ostrel-native-host relies on,
with the real host: the ostrel-native-host installed beside this tool,
started as a browser starts it. Point it at a running application
(--socket PATH), or give the COMMAND that starts one: it is then started
with OSTREL_SOCKET_PATH set to PATH, stopped with SIGTERM and started
again during the check, and stopped at the end.

Each scenario prints one line: pass, fail or skip, and what was seen,
including what the application sent back. The application's own protocol
is its own: whatever it answers, every application must accept
connections, read whole frames up to 1 MiB, stay up, serve hosts side by
side and refuse other users. The scenarios:
  socket        the socket file and its folder belong to this user, the
                folder is closed to others (0700), the file is not
                writable by others
  replay        a host that had sent "hello" and "focus" connects again
                after the application came back (restarted, with a
                COMMAND) and replays them first; its connection is kept
                and read
  no-replay     a connection that a browser message opens carries that
                message alone, no "hello" first; it is kept and read
  1mib          a message of exactly 1048576 bytes is read whole
  side-by-side  two hosts at once are both served
  writes-first  the application writes (its answer to --request) while
                the host writes 512 KiB to it; both get through whole
  probe         a connection that sends nothing and closes (as the setup
                tool's doctor makes) leaves the application serving
  mid-frame     a connection that ends inside a frame (a host killed by
                its browser) leaves the application serving
  other-user    run as root: a process of another user that connects is
                refused (the connection closed, nothing answered)
A connection is "kept and read" when 3 MiB that the host writes after
the scenario's messages go through without the application closing it.

Options:
  --socket PATH      the application's socket (default: where the host
                     looks: $OSTREL_SOCKET_PATH, else
                     ~/Library/Application Support/ostrel/browser.sock)
  --hello MESSAGE    the "hello" the hosts send first (default:
                     {"type":"hello","from":"ostrel-app-check"})
  --request MESSAGE  a message the application answers; sent in the
                     writes-first scenario, whose answer must come back
  --other-user NAME  the other user for other-user (default: nobody)
  --timeout SECONDS  how long the application may take for each step:
                     to listen, to read what the host sends, to answer,
                     to refuse, to end on SIGTERM (default: 10)
  --help             show this text
  --version          show the version

Exit status: 0 when no scenario failed, 1 when one did, 2 for a wrong
command line or a missing host.
)HELP";

std::optional<CheckOptions> parseCheckOptions(int argc, char** argv, std::string& error) {
  static const option kOptions[] = {
      {"socket", required_argument, nullptr, 's'},  {"hello", required_argument, nullptr, 'H'},
      {"request", required_argument, nullptr, 'r'}, {"other-user", required_argument, nullptr, 'u'},
      {"timeout", required_argument, nullptr, 't'}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0}};
  CheckOptions options;
  options.hello = R"({"type":"hello","from":"ostrel-app-check"})";
  std::optional<std::string> socket;
  bool ok = false;
  // "+": the first operand ends the options; the command's own follow it.
  options.command = standins::parseCommandLine(
      "ostrel-app-check", argc, argv, "+h", kOptions,
      [&](int option, const std::string& value) {
        switch (option) {
          case 's':
            socket = value;
            if (value.empty()) error = "--socket needs a non-empty path";
            return !value.empty();
          case 'H':
          case 'r':
            if (!standins::isJson(value)) {
              error = (option == 'H' ? "--hello" : "--request") +
                      std::string(" needs a JSON message, not '") + value + "'";
              return false;
            }
            (option == 'H' ? options.hello : options.request.emplace()) = value;
            return true;
          case 'u':
            options.otherUser = value;
            return !value.empty();
          case 't': {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || !(seconds > 0 && seconds <= 3600)) {
              error = "--timeout needs a number of seconds from 0 to 3600, not '" + value + "'";
              return false;
            }
            options.timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
            return true;
          }
          case 'V':
            options.version = true;
            return true;
          default:
            options.help = true;
            return true;
        }
      },
      ok);
  if (!ok) return std::nullopt;
  if (options.help || options.version) return options;
  const std::optional<std::string> path = standins::resolveSocketPath(socket, error);
  if (!path) return std::nullopt;
  options.socketPath = *path;
  return options;
}

}  // namespace ostrel::appcheck
