#ifndef OSTREL_SETUP_COMMANDS_H_
#define OSTREL_SETUP_COMMANDS_H_

// The commands of the setup tool (doctor's is tools/doctor/doctor.h). Each reports what it did on
// `out`, each failure on `err` as one plain sentence, and returns the process exit status: 0 when
// all went well, 1 when something failed or (doctor) a problem was found, 2 when the options do not
// make sense.

#include <chrono>
#include <ostream>
#include <string>

#include "browsers.h"
#include "open_app_plan.h"
#include "options.h"

namespace ostrel::setup {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Context {
  const Options& options;
  const Environment& environment;
  // Used when --host-path is not given: the host beside the tool.
  std::string defaultHostPath;
  // The tap that install --trace registers: the one beside the tool.
  std::string tapPath;
  std::ostream& out;
  std::ostream& err;
  // How long doctor waits for the host's first status message.
  std::chrono::milliseconds probeDeadline{5000};
  // How long install gives a program to answer like the host: as long as
  // doctor, since macOS scans a program on its first launch before it runs.
  std::chrono::milliseconds hostCheckDeadline{5000};
  // What the host does on "open_app"; as built, except in tests.
  AppLaunch launch = builtAppLaunch();
};

int runInstall(const Context& context);
int runUninstall(const Context& context);
int runStatus(const Context& context);

// True when a per-user manifest of this tool, for any browser, still names
// `program` (the tap's script, say).
bool stillRegistered(const Context& context, const std::string& program);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_COMMANDS_H_
