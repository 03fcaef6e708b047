#include "host/build_facts.h"

#include <array>
#include <cstddef>
#include <iterator>
#include <span>
#include <string_view>

#include "build_config.h"  // generated: OSTREL_VERSION, OSTREL_OPEN_PROGRAM, OSTREL_APP_COMMAND_WORDS

namespace ostrel {
namespace {

constexpr std::string_view kVersion = OSTREL_VERSION;
constexpr std::string_view kOpenProgram = OSTREL_OPEN_PROGRAM;
// The words end in a comma each; the last entry only closes the list.
constexpr std::string_view kAppCommandWords[] = {OSTREL_APP_COMMAND_WORDS std::string_view()};
constexpr std::span<const std::string_view> kAppCommand(kAppCommandWords,
                                                        std::size(kAppCommandWords) - 1);

// Counts what a Writer would write.
struct Counter {
  std::size_t size = 0;
  constexpr void text(std::string_view text) { size += text.size(); }
  constexpr void put(char) { ++size; }
};

template <std::size_t N>
struct Writer {
  std::array<char, N> bytes{};
  std::size_t at = 0;
  constexpr void text(std::string_view text) {
    for (const char c : text) put(c);
  }
  constexpr void put(char c) { bytes[at++] = c; }
};

template <typename Sink>
constexpr void line(Sink& sink, std::string_view key, std::string_view value) {
  sink.text(key);
  sink.put('=');
  for (const char c : value) {
    if (c == '\\' || c == '\n') sink.put('\\');
    sink.put(c == '\n' ? 'n' : c);
  }
  sink.put('\n');
}

template <typename Sink>
constexpr void writeFacts(Sink& sink) {
  sink.text("OSTREL_BUILD_FACTS\n");
  line(sink, "version", kVersion);
  line(sink, "open_program", kOpenProgram);
  for (const std::string_view word : kAppCommand) line(sink, "app_command", word);
  sink.text("END_OSTREL_BUILD_FACTS\n");
}

constexpr std::size_t kFactsSize = [] {
  Counter counter;
  writeFacts(counter);
  return counter.size;
}();

constexpr std::array<char, kFactsSize> composeFacts() {
  Writer<kFactsSize> writer;
  writeFacts(writer);
  return writer.bytes;
}

}  // namespace

// External and used, so that neither the compiler nor the linker drops what
// nothing in the host reads.
extern const std::array<char, kFactsSize> ostrelBuildFacts;
[[gnu::used]] const std::array<char, kFactsSize> ostrelBuildFacts = composeFacts();

AppLaunch builtAppLaunch() {
  return AppLaunch{.bundleOpener = std::string(kOpenProgram),
                   .command = {kAppCommand.begin(), kAppCommand.end()}};
}

}  // namespace ostrel
