// ostrel-native-host-setup: registers the host with browsers and diagnoses
// a registration. The host itself takes no options; this tool does.

#include <iostream>
#include <string_view>
#include <vector>

#include "build_config.h"  // generated: OSTREL_VERSION
#include "commands.h"
#include "doctor.h"
#include "extension_id.h"
#include "files.h"
#include "options.h"
#include "tools/common/paths.h"
#include "usage.h"

namespace {

using ostrel::setup::Command;
using ostrel::setup::Context;
using ostrel::setup::currentEnvironment;
using ostrel::setup::Environment;
using ostrel::setup::joinPath;
using ostrel::setup::kExitFailure;
using ostrel::setup::kExitSuccess;
using ostrel::setup::kExitUsage;
using ostrel::setup::Options;
using ostrel::setup::parseCommandLine;
using ostrel::setup::ParsedCommandLine;
using ostrel::setup::runInstall;
using ostrel::setup::runStatus;
using ostrel::setup::runUninstall;
using ostrel::setup::usageText;

std::string besideTool(const char* program) {
  std::optional<std::string> folder = ostrel::common::ownFolder();
  if (!folder) return program;
  return joinPath(*folder, program);
}

int run(const Options& options) {
  if (options.command == Command::kHelp) {
    std::cout << usageText();
    return kExitSuccess;
  }
  if (options.command == Command::kVersion) {
    std::cout << "ostrel-native-host-setup " << OSTREL_VERSION << "\n";
    return kExitSuccess;
  }
  if (options.command == Command::kExtensionId) {
    return ostrel::setup::runExtensionId(options.keyPath, std::cout, std::cerr);
  }
  std::optional<Environment> environment = currentEnvironment();
  if (!environment) {
    std::cerr << "error: cannot tell the home folder; set HOME\n";
    return kExitFailure;
  }
  Context context{.options = options,
                  .environment = *environment,
                  .defaultHostPath = besideTool("ostrel-native-host"),
                  .tapPath = besideTool("ostrel-native-host-tap"),
                  .out = std::cout,
                  .err = std::cerr};
  switch (options.command) {
    case Command::kInstall:
      return runInstall(context);
    case Command::kUninstall:
      return runUninstall(context);
    case Command::kStatus:
      return runStatus(context);
    default:
      return ostrel::doctor::runDoctor(context);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  ParsedCommandLine parsed = parseCommandLine(arguments);
  if (!parsed.options) {
    std::cerr << "error: " << parsed.error << "\n";
    return kExitUsage;
  }
  return run(*parsed.options);
}
