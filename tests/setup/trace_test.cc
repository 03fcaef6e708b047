// install --trace as a user meets it: where the log may be, what a second
// trace does to the first, and what the tap's removal leaves behind.

#include <unistd.h>

#include <filesystem>

#include "test_home.h"

namespace ostrel::setup {
namespace {

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

class TraceTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    answeringHost();
    writeFile("bin/ostrel-native-host-tap", "#!/bin/sh\n", 0755);
  }
  std::string script() const {
    return home + "/.local/share/ostrel-native-host/com.ostrel.native_host-tap";
  }
};

// `tty` prints "not a tty" where there is no terminal: a log path that is
// not absolute is refused before anything is written.
TEST_F(TraceTest, RefusesALogPathThatIsNotAbsolute) {
  const std::string relative = "trace-" + std::to_string(::getpid()) + ".log";
  EXPECT_EQ(
      run(std::string("install --browser chromium --origin ") + kOrigin + " --trace " + relative),
      kExitFailure);
  EXPECT_NE(
      errors.find("--trace needs the log's absolute path, and \"" + relative + "\" is not one"),
      std::string::npos)
      << errors;
  EXPECT_NE(errors.find("nothing was written"), std::string::npos) << errors;
  EXPECT_FALSE(exists(relative));
  EXPECT_FALSE(exists(script()));
  EXPECT_FALSE(exists(home + "/.local"));
}

// There is one tap script per host name: a second trace with another log
// says that the first registration's traffic goes there too.
TEST_F(TraceTest, ASecondTraceSaysWhereTheFirstOnesTrafficGoes) {
  const std::string first = home + "/first.log";
  const std::string second = home + "/second.log";
  const std::string chromium =
      home + "/.config/chromium/NativeMessagingHosts/com.ostrel.native_host.json";
  ASSERT_EQ(
      run(std::string("install --browser chromium --origin ") + kOrigin + " --trace " + first), 0)
      << errors;
  EXPECT_EQ(output.find("note: one tap script"), std::string::npos) << output;
  ASSERT_EQ(run("install --user-data-dir " + home + "/profile --origin " + kOrigin + " --trace " +
                second),
            0)
      << errors;
  EXPECT_NE(output.find("note: one tap script serves every registration of this host name, so "
                        "what passes through " +
                        chromium + " is now logged to " + second + " too, no longer to " + first),
            std::string::npos)
      << output;
  // The same log again: nothing moves, nothing to say.
  ASSERT_EQ(
      run(std::string("install --browser chromium --origin ") + kOrigin + " --trace " + second), 0)
      << errors;
  EXPECT_EQ(output.find("note: one tap script"), std::string::npos) << output;
}

// Taking the tap out removes the folders that putting it in made, and no
// folder that was there before.
TEST_F(TraceTest, TakingTheTapOutLeavesNoFolderItMade) {
  const std::string log = home + "/trace.log";
  const std::string traced = std::string(" --browser chromium --origin ") + kOrigin;
  ASSERT_EQ(run("install" + traced + " --trace " + log), 0) << errors;
  ASSERT_TRUE(exists(script()));
  // Installed again, the script still knows what was made for it.
  ASSERT_EQ(run("install" + traced + " --trace " + log), 0) << errors;
  ASSERT_EQ(run("install" + traced), 0) << errors;
  EXPECT_FALSE(exists(home + "/.local")) << output;

  std::filesystem::create_directories(home + "/.local/share");
  ASSERT_EQ(run("install" + traced + " --trace " + log), 0) << errors;
  ASSERT_EQ(run("uninstall --browser chromium"), 0) << errors;
  EXPECT_FALSE(exists(home + "/.local/share/ostrel-native-host")) << output;
  EXPECT_TRUE(exists(home + "/.local/share"));
}

}  // namespace
}  // namespace ostrel::setup
