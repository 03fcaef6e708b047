#include "host/build_facts.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

#include "build_config.h"  // generated: OSTREL_VERSION, OSTREL_OPEN_PROGRAM, OSTREL_APP_COMMAND_WORDS

namespace ostrel {
namespace {

constexpr std::string_view kOpenProgram = OSTREL_OPEN_PROGRAM;
// The words end in a comma each; the last entry only closes the list.
constexpr std::string_view kAppCommandWords[] = {OSTREL_APP_COMMAND_WORDS std::string_view()};
constexpr std::span<const std::string_view> kAppCommand(kAppCommandWords,
                                                        std::size(kAppCommandWords) - 1);

constexpr void addLine(std::string& text, std::string_view key, std::string_view value) {
  text.append(key).push_back('=');
  for (const char c : value) {
    if (c == '\\' || c == '\n') text.push_back('\\');
    text.push_back(c == '\n' ? 'n' : c);
  }
  text.push_back('\n');
}

constexpr std::string factsText() {
  std::string text = "OSTREL_BUILD_FACTS\n";
  addLine(text, "version", OSTREL_VERSION);
  addLine(text, "open_program", kOpenProgram);
  for (const std::string_view word : kAppCommand) addLine(text, "app_command", word);
  return text + "END_OSTREL_BUILD_FACTS\n";
}

constexpr std::size_t kFactsSize = factsText().size();

constexpr std::array<char, kFactsSize> composeFacts() {
  std::array<char, kFactsSize> bytes{};
  const std::string text = factsText();
  std::copy(text.begin(), text.end(), bytes.begin());
  return bytes;
}

}  // namespace

// External and used, so that the compiler keeps what nothing in the host
// needs; the read in builtAppLaunch() keeps it from linkers that drop what
// no code reaches.
extern const std::array<char, kFactsSize> ostrelBuildFacts;
[[gnu::used]] const std::array<char, kFactsSize> ostrelBuildFacts = composeFacts();

AppLaunch builtAppLaunch() {
  static_cast<void>(*static_cast<const volatile char*>(ostrelBuildFacts.data()));
  return AppLaunch{.bundleOpener = std::string(kOpenProgram),
                   .command = {kAppCommand.begin(), kAppCommand.end()}};
}

}  // namespace ostrel
