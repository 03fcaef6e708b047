#include "build_facts.h"

#include "files.h"

namespace ostrel::doctor {
namespace {

// Spelt in two pieces, so that this tool's own file carries no block.
const std::string kBegin = std::string("OSTREL_") + "BUILD_FACTS\n";
const std::string kEnd = std::string("END_OSTREL_") + "BUILD_FACTS\n";

std::optional<std::string> unescaped(std::string_view value) {
  std::string result;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      result += value[i];
      continue;
    }
    if (++i == value.size()) return std::nullopt;
    if (value[i] == '\\') {
      result += '\\';
    } else if (value[i] == 'n') {
      result += '\n';
    } else {
      return std::nullopt;
    }
  }
  return result;
}

}  // namespace

BuildFactsReading findBuildFacts(std::string_view bytes) {
  BuildFactsReading reading;
  std::size_t begin = bytes.find(kBegin);
  if (begin == std::string_view::npos) {
    reading.problem =
        "it carries no build facts: it was built before they were added, or it is "
        "not the host";
    return reading;
  }
  begin += kBegin.size();
  std::size_t end = bytes.find(kEnd, begin);
  if (end == std::string_view::npos) {
    reading.problem = "its build facts are cut off";
    return reading;
  }
  BuildFacts facts;
  bool version = false;
  bool openProgram = false;
  std::string_view block = bytes.substr(begin, end - begin);
  while (!block.empty()) {
    std::size_t lineEnd = block.find('\n');
    std::string_view line = block.substr(0, lineEnd);
    block = lineEnd == std::string_view::npos ? std::string_view() : block.substr(lineEnd + 1);
    std::size_t equals = line.find('=');
    std::optional<std::string> value =
        equals == std::string_view::npos ? std::nullopt : unescaped(line.substr(equals + 1));
    if (!value) {
      reading.problem = "its build facts hold a line that is not key=value: " + std::string(line);
      return reading;
    }
    std::string_view key = line.substr(0, equals);
    if (key == "version") {
      facts.version = *value;
      version = true;
    } else if (key == "open_program") {
      facts.launch.bundleOpener = *value;
      openProgram = true;
    } else if (key == "app_command") {
      facts.launch.command.push_back(*value);
    }  // keys of later builds are passed over
  }
  if (!version || !openProgram) {
    reading.problem = "its build facts lack the version or the open program";
    return reading;
  }
  reading.facts = std::move(facts);
  return reading;
}

BuildFactsReading readBuildFacts(const std::string& path) {
  setup::FileContents contents = setup::readWholeFile(path);
  if (contents.state != setup::FileState::kPresent) {
    BuildFactsReading reading;
    reading.problem = "its file cannot be read: " +
                      (contents.reason.empty() ? std::string("it is missing") : contents.reason);
    return reading;
  }
  return findBuildFacts(contents.text);
}

}  // namespace ostrel::doctor
