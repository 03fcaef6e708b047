// The block Apple systems' kernel gives for a process's arguments and
// environment, read field by field, and refused where it lies.

#include "tools/common/process_arguments.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace ostrel::common {
namespace {

using namespace std::string_literals;

// A block as the kernel lays it out: the count, then `strings`.
std::string block(int count, const std::string& strings) {
  std::string bytes(sizeof count, '\0');
  std::memcpy(bytes.data(), &count, sizeof count);
  return bytes + strings;
}

TEST(ProcessArgumentsTest, ReadsArgumentsThenTheEnvironmentUpToItsEnd) {
  const auto read = readProcessArguments(
      block(3,
            "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome\0\0\0\0"
            "Google Chrome\0--user-data-dir=/tmp/a b\0\0"
            "HOME=/Users/u\0OSTREL_SOCKET_PATH=/tmp/s\0\0"
            "ptr_munge=\0main_stack=\0"s));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->executable, "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome");
  EXPECT_EQ(read->arguments,
            (std::vector<std::string>{"Google Chrome", "--user-data-dir=/tmp/a b", ""}));
  ASSERT_TRUE(read->environment);
  EXPECT_EQ(*read->environment,
            (std::vector<std::string>{"HOME=/Users/u", "OSTREL_SOCKET_PATH=/tmp/s"}));

  // The environment left out (a restricted process), or a process that
  // keeps its arguments from others: the executable's path as its one
  // argument.
  const auto bare = readProcessArguments(block(1, "/usr/bin/x\0\0/usr/bin/x\0"s));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->arguments, std::vector<std::string>{"/usr/bin/x"});
  EXPECT_FALSE(bare->environment);
}

TEST(ProcessArgumentsTest, NothingFromABlockThatDoesNotHoldWhatItSays) {
  EXPECT_FALSE(readProcessArguments("\x01\x00"s));
  EXPECT_FALSE(readProcessArguments(block(-1, "/x\0a\0"s)));
  EXPECT_FALSE(readProcessArguments(block(1, "/x with no end")));
  EXPECT_FALSE(readProcessArguments(block(2, "/x\0\0one\0"s)));
  EXPECT_FALSE(readProcessArguments(block(1, "/x\0\0an argument cut short"s)));
  EXPECT_FALSE(readProcessArguments(block(1 << 30, "/x\0a\0"s)));
  // An environment entry cut short is no entry; those before it stand.
  const auto cut = readProcessArguments(block(1, "/x\0\0x\0A=1\0B="s));
  ASSERT_TRUE(cut);
  EXPECT_EQ(*cut->environment, std::vector<std::string>{"A=1"});
}

}  // namespace
}  // namespace ostrel::common
