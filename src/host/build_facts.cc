#include "host/build_facts.h"

#include <iterator>
#include <span>
#include <string>
#include <string_view>

// Generated: OSTREL_OPEN_PROGRAM, OSTREL_APP_COMMAND_WORDS, OSTREL_BUILD_FACTS.
#include "build_config.h"

namespace ostrel {
namespace {

constexpr std::string_view kOpenProgram = OSTREL_OPEN_PROGRAM;
// The words end in a comma each; the last entry only closes the list.
constexpr std::string_view kAppCommandWords[] = {OSTREL_APP_COMMAND_WORDS std::string_view()};
constexpr std::span<const std::string_view> kAppCommand(kAppCommandWords,
                                                        std::size(kAppCommandWords) - 1);

}  // namespace

// External and used, so that the compiler keeps what nothing in the host
// needs; the read in builtAppLaunch() keeps it from linkers that drop what
// no code reaches.
extern const char ostrelBuildFacts[];
[[gnu::used]] const char ostrelBuildFacts[] = OSTREL_BUILD_FACTS;

AppLaunch builtAppLaunch() {
  static_cast<void>(*static_cast<const volatile char*>(ostrelBuildFacts));
  return AppLaunch{.bundleOpener = std::string(kOpenProgram),
                   .command = {kAppCommand.begin(), kAppCommand.end()}};
}

}  // namespace ostrel
