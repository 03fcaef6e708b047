#include "open_app_plan.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

#include "build_config.h"  // generated: OSTREL_OPEN_PROGRAM, OSTREL_APP_COMMAND_WORDS

namespace ostrel::setup {

AppLaunch builtAppLaunch() {
  return AppLaunch{.bundleOpener = OSTREL_OPEN_PROGRAM,
                   .command = std::vector<std::string>{OSTREL_APP_COMMAND_WORDS}};
}

OpenAppPlan planOpenApp(const std::string& hostPath, const AppLaunch& launch) {
  OpenAppPlan plan;
  char resolved[PATH_MAX];
  if (::realpath(hostPath.c_str(), resolved) == nullptr) {
    plan.reason = "the host's location cannot be resolved: " + std::string(std::strerror(errno));
    return plan;
  }
  if (std::optional<std::string> bundle = enclosingBundle(resolved)) {
    plan.command = {launch.bundleOpener, *bundle};
    plan.reason = "the host lies inside the application bundle " + *bundle;
    return plan;
  }
  const std::string where = "the host (" + std::string(resolved) +
                            ") does not lie three folders below an application bundle (a "
                            "folder whose name ends in \".app\")";
  if (launch.command.empty()) {
    plan.reason = where + " and was built without OSTREL_APP_COMMAND";
  } else {
    plan.command = launch.command;
    plan.reason = where + ", so it runs its OSTREL_APP_COMMAND";
  }
  return plan;
}

}  // namespace ostrel::setup
