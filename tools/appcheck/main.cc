// ostrel-app-check: runs the scenarios an application must survive against
// it, with the real host installed beside this tool.

#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "build_config.h"  // generated: OSTREL_VERSION
#include "check_options.h"
#include "scenarios.h"
#include "tools/common/paths.h"
#include "tools/common/printable_text.h"

namespace {

using ostrel::appcheck::AppChecker;
using ostrel::appcheck::CheckOptions;
using ostrel::appcheck::Outcome;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The host installed beside this tool; nothing when there is none.
std::optional<std::string> hostBeside(std::string& looked) {
  const std::optional<std::string> folder = ostrel::common::ownFolder();
  if (!folder) {
    looked = "the folder of this tool (the system does not tell it)";
    return std::nullopt;
  }
  looked = *folder + "/ostrel-native-host";
  if (::access(looked.c_str(), X_OK) != 0) return std::nullopt;
  return looked;
}

// Each line by the tools' one rule for text from outside: what the
// application and the host said, paths and names among it.
std::string printable(const std::string& text) {
  const std::string_view whole = text;
  std::string lines;
  for (std::size_t start = 0; start <= whole.size();) {
    const std::size_t end = std::min(whole.find('\n', start), whole.size());
    if (start > 0) lines += '\n';
    lines += ostrel::common::printableText(whole.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void print(const Outcome& outcome, int counts[3]) {
  static const char* const kWords[] = {"pass", "fail", "skip"};
  const auto index = static_cast<int>(outcome.verdict);
  ++counts[index];
  std::string name = outcome.scenario;
  name.resize(std::max<std::size_t>(name.size(), 15), ' ');
  std::cout << kWords[index] << "  " << name << "  " << printable(outcome.seen) << "\n"
            << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<CheckOptions> options =
      ostrel::appcheck::parseCheckOptions(argc, argv, error);
  if (!options) {
    if (!error.empty()) std::cerr << "ostrel-app-check: " << error << "\n";
    std::cerr << "Try 'ostrel-app-check --help'.\n";
    return kUsage;
  }
  if (options->help) {
    std::cout << ostrel::appcheck::kCheckHelp;
    return 0;
  }
  if (options->version) {
    std::cout << "ostrel-app-check " << OSTREL_VERSION << "\n";
    return 0;
  }
  std::string looked;
  const std::optional<std::string> host = hostBeside(looked);
  if (!host) {
    std::cerr << "ostrel-app-check: no ostrel-native-host at " << looked
              << ": the checker runs the host installed beside it\n";
    return kUsage;
  }
  // A host or application that goes away shows as a failed write.
  ::signal(SIGPIPE, SIG_IGN);
  std::cout << "Checking the application at " << printable(options->socketPath) << " with "
            << printable(*host) << "\n";
  int counts[3] = {0, 0, 0};
  AppChecker checker(*options, *host);
  std::vector<std::string> notRun;
  const bool passed =
      checker.run([&counts](const Outcome& outcome) { print(outcome, counts); }, notRun);
  std::cout << counts[0] << " passed, " << counts[1] << " failed, " << counts[2] << " skipped";
  if (!notRun.empty()) {
    std::cout << "; stopped there, not run:";
    for (const std::string& name : notRun) std::cout << " " << name;
  }
  std::cout << "\n";
  return passed ? 0 : kFailed;
}
