#ifndef OSTREL_SETUP_OPEN_APP_PLAN_H_
#define OSTREL_SETUP_OPEN_APP_PLAN_H_

// What a host will do on "open_app", worked out without running it: the
// same rule as the host's, from the launch settings it was built with. A
// host inside an application bundle (Example.app/Contents/MacOS/host, after
// symbolic links are resolved) starts the open program with the bundle's
// path; any other host runs the application command, when it has one.

#include <string>
#include <vector>

#include "host/open_app.h"
#include "tools/common/shell_words.h"

namespace ostrel::setup {

// What this build gave its host: OSTREL_OPEN_PROGRAM and OSTREL_APP_COMMAND.
AppLaunch builtAppLaunch();

struct OpenAppPlan {
  std::vector<std::string> command;  // empty when "open_app" does nothing
  std::string reason;                // why this command, or why none
};

OpenAppPlan planOpenApp(const std::string& hostPath, const AppLaunch& launch);

using common::shellWords;

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_OPEN_APP_PLAN_H_
