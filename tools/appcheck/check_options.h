#ifndef OSTREL_TOOLS_APPCHECK_CHECK_OPTIONS_H_
#define OSTREL_TOOLS_APPCHECK_CHECK_OPTIONS_H_

// The command line of ostrel-app-check. Parsing only: it starts nothing
// and prints nothing but getopt's own complaints.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::appcheck {

struct CheckOptions {
  std::string socketPath;                    // --socket, else where the host looks
  std::vector<std::string> command;          // after the options: starts the application
  std::string hello;                         // --hello
  std::optional<std::string> request;        // --request
  std::optional<std::string> echo;           // --echo: a type sent back unchanged
  std::string otherUser = "nobody";          // --other-user
  std::chrono::milliseconds timeout{10000};  // --timeout
  bool help = false;
  bool version = false;
};

// The options, or nothing with `error` in words (empty when getopt has
// already said what is wrong on standard error).
std::optional<CheckOptions> parseCheckOptions(int argc, char** argv, std::string& error);

extern const char* const kCheckHelp;

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_CHECK_OPTIONS_H_
