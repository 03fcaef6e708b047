// ostrel-standin-browser run as a real process, driving small shell
// scripts that play the host.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "tool_process.h"

namespace ostrel::standins {
namespace {

using tests::TempDir;
using tests::ToolProcess;
using tests::writeScript;

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

int exitCode(const std::optional<int>& status) {
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

TEST(StandinBrowser, StartsTheHostAsABrowserDoesAndPrintsItsFrames) {
  TempDir dir;
  // Echoes the browser's frames back, so what was sent is what is printed.
  const std::string host =
      writeScript(dir, "host",
                  "printf '%s|%s' \"$1\" \"$OSTREL_SOCKET_PATH\" > " + dir.path() + "/seen\n" +
                      "printf '\\045\\000\\000\\000{\"type\":\"status\",\"app\":\"unavailable\"}'\n"
                      "exec cat");
  ToolProcess browser({OSTREL_STANDIN_BROWSER, "--host", host, "--socket", "/tmp/x.sock",
                       "--origin=chrome-extension://abc/", R"({"type":"hello"})", "[1,2]", "--wait",
                       "0"});
  EXPECT_EQ(exitCode(browser.wait()), 0) << browser.err();
  EXPECT_EQ(fileText(dir.path() + "/seen"), "chrome-extension://abc/|/tmp/x.sock");
  const std::string& out = browser.out();
  EXPECT_NE(out.find("browser ← host  37 B  status: unavailable"), std::string::npos) << out;
  EXPECT_NE(out.find(R"(browser → host  16 B  {"type":"hello"})"), std::string::npos);
  EXPECT_NE(out.find(R"(browser ← host  16 B  {"type":"hello"})"), std::string::npos);
  EXPECT_NE(out.find("browser ← host  5 B  [1,2]"), std::string::npos);
  EXPECT_NE(out.find("closing the host's input"), std::string::npos);
  EXPECT_NE(out.find("the host exited with status 0"), std::string::npos);
  EXPECT_EQ(browser.err(), "");
}

TEST(StandinBrowser, PassesTheExitStatusOnAndNamesEveryFault) {
  TempDir dir;
  const std::string host =
      writeScript(dir, "host",
                  "printf '\\043\\000\\000\\000{\"type\":\"status\",\"app\":\"connected\"}'\n"
                  "printf 'xyz'\n"
                  "echo 'something went wrong' >&2\n"
                  "exit 3");
  ToolProcess browser({OSTREL_STANDIN_BROWSER, "--host", host, "--wait", "0", "{}"});
  EXPECT_EQ(exitCode(browser.wait()), 3);
  EXPECT_NE(browser.out().find("status: connected"), std::string::npos);
  EXPECT_NE(browser.out().find("the host exited with status 3"), std::string::npos);
  const std::string& err = browser.err();
  EXPECT_NE(err.find("host stderr: something went wrong"), std::string::npos) << err;
  EXPECT_NE(err.find("wrote 21 bytes to standard error"), std::string::npos) << err;
  EXPECT_NE(err.find("wrote 3 bytes that are not a valid frame"), std::string::npos) << err;

  // --strict turns faults into a failure even when the host exits with 0.
  const std::string quiet = writeScript(dir, "quiet", "printf 'xyz'; exit 0");
  ToolProcess strict({OSTREL_STANDIN_BROWSER, "--host", quiet, "--strict", "--wait", "0", "{}"});
  EXPECT_EQ(exitCode(strict.wait()), 1);

  // A program that never writes the status message every host writes first.
  const std::string silent = writeScript(dir, "silent", "cat > /dev/null; exit 0");
  ToolProcess noStatus({OSTREL_STANDIN_BROWSER, "--host", silent, "--strict", "--wait", "2", "{}"});
  EXPECT_EQ(exitCode(noStatus.wait()), 1);
  EXPECT_NE(noStatus.err().find("wrote no status message within 1 second"), std::string::npos)
      << noStatus.err();
}

TEST(StandinBrowser, CtrlCClosesTheHostsInputAndTheHostEndsCleanly) {
  TempDir dir;
  const std::string host = writeScript(dir, "host", "cat > /dev/null; exit 0");
  ToolProcess browser({OSTREL_STANDIN_BROWSER, "--host", host});  // reads lines from stdin
  ASSERT_TRUE(browser.waitForOutput("started"));
  browser.write("not json\n{\"type\":\"focus\"}\n");
  ASSERT_TRUE(browser.waitForOutput("browser → host  16 B"));
  browser.signal(SIGINT);
  EXPECT_EQ(exitCode(browser.wait()), 0);
  EXPECT_NE(browser.out().find("interrupted; closing the host's input"), std::string::npos);
  EXPECT_NE(browser.err().find("not sent, not JSON"), std::string::npos);
}

TEST(StandinBrowser, SaysInWordsWhenTheHostCannotStartOrTheCommandLineIsWrong) {
  ToolProcess missing({OSTREL_STANDIN_BROWSER, "--host", "/nonexistent/host", "{}"});
  EXPECT_EQ(exitCode(missing.wait()), 127);
  EXPECT_NE(missing.err().find("cannot start /nonexistent/host: No such file"), std::string::npos);

  ToolProcess notJson({OSTREL_STANDIN_BROWSER, "--host", "/bin/true", "{oops"});
  EXPECT_EQ(exitCode(notJson.wait()), 2);
  EXPECT_NE(notJson.err().find("not JSON"), std::string::npos);

  ToolProcess misspelt({OSTREL_STANDIN_BROWSER, "--sytem", "{}"});
  EXPECT_EQ(exitCode(misspelt.wait()), 2);
  EXPECT_NE(misspelt.err().find("ostrel-standin-browser: unrecognized option '--sytem'"),
            std::string::npos)
      << misspelt.err();
}

}  // namespace
}  // namespace ostrel::standins
