#ifndef OSTREL_SETUP_TEST_HOME_H_
#define OSTREL_SETUP_TEST_HOME_H_

// Test support: a temporary folder used as the home folder (and as the root
// of the system-wide folders) for one test, removed with everything in it
// afterwards, plus small helpers to run commands against it.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "browsers.h"
#include "commands.h"
#include "options.h"
#include "peers/temp_dir.h"

namespace ostrel::setup {

class TestHome : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the command line `words` (split at spaces) through the command
  // functions, with this home, `root` as the system root and
  // home + "/programs" as the only folder on PATH.
  int run(const std::string& words);

  // Writes `text` to `path` below the home (creating folders), with `mode`.
  std::string writeFile(const std::string& relative, const std::string& text, int mode = 0644);

  static std::string read(const std::string& path);
  static bool exists(const std::string& path);

  // An executable stand-in for the host: a shell script with `body`, at
  // the default host path.
  std::string fakeHost(const std::string& body);
  // A stand-in host that answers as the host does when the application is
  // not there, then waits for the end of its input.
  std::string answeringHost();

  std::string home;    // the temporary folder
  std::string root;    // home + "/root", the system root
  std::string output;  // what the last run() wrote to out
  std::string errors;  // what the last run() wrote to err
  Environment environment;
  std::chrono::milliseconds probeDeadline{5000};
  AppLaunch launch = builtAppLaunch();

 private:
  std::unique_ptr<peers::TempDir> scratch_;
};

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_TEST_HOME_H_
