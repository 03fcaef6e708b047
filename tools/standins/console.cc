#include "console.h"

#include <unistd.h>

#include <string>

#include "channel/std_streams.h"
#include "clock_text.h"
#include "tools/common/printable_text.h"

namespace ostrel::standins {
namespace {

std::string& programName() {
  static std::string name = "ostrel-standin";
  return name;
}

void writeText(int fd, std::string_view text) {
  ostrel::writeAll(fd, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

}  // namespace

void setProgramName(std::string_view name) { programName() = name; }

void printEvent(std::string_view text) {
  std::string line = clockTextNow();
  line += "  ";
  line += common::printableText(text);
  line += '\n';
  writeText(STDOUT_FILENO, line);
}

void printError(std::string_view text) {
  std::string line = programName();
  line += ": ";
  line += common::printableText(text);
  line += '\n';
  writeText(STDERR_FILENO, line);
}

void printPlain(std::string_view text) { writeText(STDOUT_FILENO, text); }

}  // namespace ostrel::standins
