// The build facts as another program finds them: read from the host's file,
// without running it, by a reader of its own.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace ostrel::tests {
namespace {

const std::string kBegin = "OSTREL_BUILD_FACTS\n";
const std::string kEnd = "END_OSTREL_BUILD_FACTS\n";

std::string fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Where `text` begins a block: not as the tail of the end marker.
std::vector<std::size_t> blockStarts(const std::string& bytes) {
  std::vector<std::size_t> starts;
  for (std::size_t at = bytes.find(kBegin); at != std::string::npos;
       at = bytes.find(kBegin, at + 1)) {
    if (at < 4 || bytes.compare(at - 4, 4, "END_") != 0) starts.push_back(at);
  }
  return starts;
}

// The lines between the markers, without their newlines; fails the test
// unless the file holds exactly one whole block.
std::vector<std::string> factLines(const std::string& path) {
  const std::string bytes = fileBytes(path);
  EXPECT_FALSE(bytes.empty()) << path;
  const std::vector<std::size_t> starts = blockStarts(bytes);
  EXPECT_EQ(starts.size(), 1U) << "blocks in " << path;
  if (starts.size() != 1) return {};
  const std::size_t body = starts[0] + kBegin.size();
  const std::size_t end = bytes.find(kEnd, body);
  EXPECT_NE(end, std::string::npos) << "no end marker in " << path;
  if (end == std::string::npos) return {};
  EXPECT_EQ(bytes.find(kEnd, end + 1), std::string::npos) << "a second end marker";
  std::vector<std::string> lines;
  for (std::size_t at = body; at < end;) {
    const std::size_t newline = bytes.find('\n', at);
    lines.push_back(bytes.substr(at, newline - at));
    at = newline + 1;
  }
  return lines;
}

TEST(BuildFacts, TheHostFileCarriesItsVersionAndOpenProgram) {
  const std::vector<std::string> lines = factLines(OSTREL_HOST_EXECUTABLE);
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines[0], "version=" OSTREL_PROJECT_VERSION);
  EXPECT_EQ(lines[1], "open_program=" OSTREL_BUILT_OPEN_PROGRAM);
  for (std::size_t i = 2; i < lines.size(); ++i) EXPECT_TRUE(lines[i].starts_with("app_command="));
}

TEST(BuildFacts, EachWordOfTheApplicationCommandIsOneEscapedLine) {
  EXPECT_EQ(factLines(OSTREL_APP_COMMAND_HOST), (std::vector<std::string>{
                                                    "version=" OSTREL_PROJECT_VERSION,
                                                    "open_program=" OSTREL_BUILT_OPEN_PROGRAM,
                                                    "app_command=" OSTREL_LAUNCH_RECORDER,
                                                    "app_command=--started-by",
                                                    "app_command=app command",
                                                    R"(app_command=with "quotes")",
                                                    R"(app_command=back\\slash)",
                                                }));
}

}  // namespace
}  // namespace ostrel::tests
