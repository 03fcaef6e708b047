#ifndef OSTREL_TOOLS_STANDINS_COMMAND_LINE_H_
#define OSTREL_TOOLS_STANDINS_COMMAND_LINE_H_

// getopt_long for the stand-in tools and the benchmark: "--name value" and
// "--name=value" alike, unambiguous abbreviations, options and operands in
// any order, and getopt's own messages ("unrecognized option '--sytem'")
// under the tool's name rather than the path it was started by.

#include <getopt.h>

#include <functional>
#include <string>
#include <vector>

namespace ostrel::standins {

// Calls `take(option, value)` for each option in turn (value is empty for
// options without one) and returns the operands, in order. Stops at the
// first option that `take` refuses (returns false) or that getopt does not
// know; `ok` then is false.
std::vector<std::string> parseCommandLine(const std::string& program, int argc, char** argv,
                                          const char* shortOptions, const option* longOptions,
                                          const std::function<bool(int, const std::string&)>& take,
                                          bool& ok);

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_COMMAND_LINE_H_
