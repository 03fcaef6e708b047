#include "check_options.h"

#include <algorithm>
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
with OSTREL_SOCKET_PATH set to PATH, started a second time beside itself,
stopped, killed and started again during the check, and stopped at the
end.

Each scenario prints one line: pass, fail or skip, what was seen, and on a
failure what to change. The application's own protocol is its own:
whatever it answers, every application must accept connections, read
whole frames up to 1 MiB, stay up, serve hosts side by side and refuse
other users. The scenarios:
  listening     the application listens at PATH: a connection is accepted
                (a socket file that refuses connections is not enough)
  socket        the socket file and its folder belong to this user; the
                folder is closed to others (0700), the file too (0600)
  frames        a connection of the checker's own writes "hello" and 3 MiB
                of frames, all read; one closed early is looked at again
                with frames whose length reads the same byte-swapped, to
                tell lengths read big-endian; with --request, the answer's
                length must read as the host reads it
  second-instance  (COMMAND) a second instance started meanwhile leaves
                the first's socket in place, whether it ends or runs on
  sigterm       (COMMAND) SIGTERM ends the application, which removes its
                socket file
  replaced      (COMMAND) a socket file that took the place of the
                application's own (another instance's) is left alone when
                the application ends
  crash         (COMMAND) killed (SIGKILL), the application starts again
                over the socket file it left
  replay        a host that had sent "hello" and "focus" connects again
                after the application came back (restarted, with a
                COMMAND) and replays them first; its connection is kept
                and read
  no-replay     a connection that a browser message opens carries that
                message alone, no "hello" first; it is kept and read
  1mib          a message of exactly 1048576 bytes is read whole; with
                --echo it must come back unchanged, byte for byte
  side-by-side  two hosts with the same "hello" at once are both served;
                neither is closed for the other
  writes-first  the application writes (its answer to --request) while
                the host writes 512 KiB to it; both get through whole
  two-hellos    a second "hello" on one connection is taken in its stride;
                with --request and --echo, the answer to the request is
                the same before and after it (skipped when the answers
                did not come back whole in writes-first)
  stalled-host  (--request) while a connection asks and asks and reads
                nothing, a host beside it is answered (skipped as
                two-hellos is)
  other-user    run as root: a process of another user (all its ids) is
                kept out by the folders, or refused by the application
                (the connection closed, nothing answered)
  probe         a connection that sends nothing and closes (as the setup
                tool's doctor makes) leaves the application serving
  mid-frame     connections that end inside a frame (hosts killed by their
                browser) leave the application serving
A connection is "kept and read" when 3 MiB that the host writes after
the scenario's messages go through without the application closing it.
When the application ends unasked, the scenario under way fails saying
so, and the check stops there; it stops too when listening or frames
fail, since nothing after them could pass.

Options:
  --socket PATH      the application's socket (default: where the host
                     looks: $OSTREL_SOCKET_PATH, else
                     ~/Library/Application Support/ostrel/browser.sock)
  --hello MESSAGE    the "hello" the hosts send first (default:
                     {"type":"hello","from":"ostrel-app-check"})
  --request MESSAGE  a message the application answers; sent in frames,
                     writes-first, two-hellos, stalled-host and
                     other-user, whose answer must come back
  --echo TYPE        a type of message the application sends back
                     unchanged ({"type":TYPE,...}): shows what it kept of
                     a message of 1 MiB, and what a second "hello" changed
  --other-user NAME  the other user for other-user (default: nobody)
  --timeout SECONDS  the longest any step may take: to listen, to read
                     what is sent, to answer, to refuse, to end on
                     SIGTERM; waits for the host's retry, every 2 s, get
                     2.5 s more (default: 10)
  --help             show this text
  --version          show the version

Exit status: 0 when no scenario failed, 1 when one did, 2 for a wrong
command line or a missing host.
)HELP";

std::optional<CheckOptions> parseCheckOptions(int argc, char** argv, std::string& error) {
  static const option kOptions[] = {{"socket", required_argument, nullptr, 's'},
                                    {"hello", required_argument, nullptr, 'H'},
                                    {"request", required_argument, nullptr, 'r'},
                                    {"echo", required_argument, nullptr, 'e'},
                                    {"other-user", required_argument, nullptr, 'u'},
                                    {"timeout", required_argument, nullptr, 't'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
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
          case 'e':
            // Written into JSON as it is: plain characters only.
            if (value.empty() || value.find_first_of("\"\\") != std::string::npos ||
                std::any_of(value.begin(), value.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
              error = "--echo needs a type of message, without quotes, backslashes or controls";
              return false;
            }
            options.echo = value;
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
