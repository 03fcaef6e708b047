#ifndef OSTREL_DOCTOR_BUILD_FACTS_H_
#define OSTREL_DOCTOR_BUILD_FACTS_H_

// How a host binary was built, read from the file's bytes without running
// it: the host carries a block of text
//   "OSTREL_BUILD_FACTS\n" "version=<v>\n" "open_program=<p>\n"
//   "app_command=<word>\n" (one per word, none without a command)
//   "END_OSTREL_BUILD_FACTS\n"
// with a backslash in a value written "\\" and a line end "\n". Hosts built
// before the block existed carry none.

#include <optional>
#include <string>
#include <vector>

#include "host/open_app.h"

namespace ostrel::doctor {

struct BuildFacts {
  std::string version;
  AppLaunch launch;  // the open program and the application command
};

struct BuildFactsReading {
  std::optional<BuildFacts> facts;
  // Why there are none: the file cannot be read, or carries no block (an
  // older build, or not the host), or a broken one.
  std::string problem;
};

BuildFactsReading readBuildFacts(const std::string& path);

// The same from bytes already at hand.
BuildFactsReading findBuildFacts(std::string_view bytes);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_BUILD_FACTS_H_
