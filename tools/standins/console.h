#ifndef OSTREL_TOOLS_STANDINS_CONSOLE_H_
#define OSTREL_TOOLS_STANDINS_CONSOLE_H_

// Line output for the stand-in tools. Every line goes out in one write(2),
// so lines from two tools sharing a terminal never mix mid-line. Events go
// to standard output with a timestamp; errors go to standard error in words,
// prefixed with the tool's name. Whatever a line holds (a payload, the
// host's standard error, a path) is printed by the tools' one rule for text
// from outside (tools/common/printable_text.h), so it stays one line and
// cannot steer the terminal. Does no buffering and no colouring.

#include <string_view>

namespace ostrel::standins {

// Sets the name that error lines begin with ("ostrel-standin-app: ...").
void setProgramName(std::string_view name);

// "HH:MM:SS.mmm  text" on standard output.
void printEvent(std::string_view text);

// "name: text" on standard error.
void printError(std::string_view text);

// Writes `text` as it is to standard output (help texts).
void printPlain(std::string_view text);

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_CONSOLE_H_
