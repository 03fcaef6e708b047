// Build facts read from a host's bytes: a file written here in the agreed
// form, and the two hosts of this build, told apart by doctor.

#include "build_facts.h"

#include <gtest/gtest.h>

#include <fstream>

#include "build_config.h"  // generated: OSTREL_VERSION
#include "test_home.h"

namespace ostrel::setup {
namespace {

using doctor::BuildFactsReading;
using doctor::findBuildFacts;

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

TEST(BuildFactsTest, ReadsTheBlockAmongOtherBytesAndUnescapesValues) {
  const std::string block =
      "OSTREL_BUILD_FACTS\nversion=2.3.4\nopen_program=/usr/bin/open\n"
      "app_command=/opt/My App/run\napp_command=back\\\\slash\\nline\nfuture_key=x\n"
      "END_OSTREL_BUILD_FACTS\n";
  std::string bytes = "\x7f" + std::string("ELF\0\0\x01", 6);
  bytes += "OSTREL_BUILD_FACT";  // a near miss first
  bytes += block + std::string("\0tail", 5);
  BuildFactsReading reading = findBuildFacts(bytes);
  ASSERT_TRUE(reading.facts) << reading.problem;
  EXPECT_EQ(reading.facts->version, "2.3.4");
  EXPECT_EQ(reading.facts->launch.bundleOpener, "/usr/bin/open");
  EXPECT_EQ(reading.facts->launch.command,
            (std::vector<std::string>{"/opt/My App/run", "back\\slash\nline"}));

  BuildFactsReading none = findBuildFacts(
      "OSTREL_BUILD_FACTS\nversion=1\nopen_program=/usr/bin/open\nEND_OSTREL_BUILD_FACTS\n");
  ASSERT_TRUE(none.facts);
  EXPECT_TRUE(none.facts->launch.command.empty());

  EXPECT_FALSE(findBuildFacts("an older host").facts);
  EXPECT_FALSE(findBuildFacts("OSTREL_BUILD_FACTS\nversion=1\n").facts);  // cut off
  EXPECT_FALSE(
      findBuildFacts("OSTREL_BUILD_FACTS\nversion=1\nopen_program=bad\\q\nEND_OSTREL_BUILD_FACTS\n")
          .facts);
}

class BuildFactsDoctorTest : public TestHome {};

// Two builds of the host: doctor reports what each will do on "open_app",
// whatever this tool was built with; a host without facts is named so.
TEST_F(BuildFactsDoctorTest, DoctorReportsEachHostsOwnBuild) {
  launch = AppLaunch{.bundleOpener = "/bin/true", .command = {"/bin/this-tools-own-command"}};
  const std::string profile = home + "/profile";
  auto doctor = [&](const std::string& host) {
    EXPECT_EQ(
        run("install --user-data-dir " + profile + " --host-path " + host + " --origin " + kOrigin),
        0)
        << errors;
    run("doctor --user-data-dir " + profile);
    return output;
  };
  std::string plain = doctor(OSTREL_HOST_BINARY);
  EXPECT_NE(plain.find("the host is version " OSTREL_VERSION ", as is"), std::string::npos)
      << plain;
  EXPECT_NE(plain.find("built without OSTREL_APP_COMMAND"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("this-tools-own-command"), std::string::npos) << plain;

  std::string withCommand = doctor(OSTREL_APP_COMMAND_HOST);
  EXPECT_NE(withCommand.find("launches: " OSTREL_LAUNCH_RECORDER
                             " --started-by 'app command' 'with \"quotes\"'"),
            std::string::npos)
      << withCommand;

  std::string older = doctor(answeringHost());
  EXPECT_NE(older.find("it carries no build facts"), std::string::npos) << older;
  EXPECT_NE(older.find("this-tools-own-command"), std::string::npos) << older;
}

}  // namespace
}  // namespace ostrel::setup
