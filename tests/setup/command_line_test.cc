// Parsing the command line, and the built tool's own exit statuses and
// streams.

#include <sys/wait.h>

#include <cstdlib>

#include "options.h"
#include "test_home.h"

namespace ostrel::setup {
namespace {

ParsedCommandLine parse(std::initializer_list<std::string_view> words) {
  std::vector<std::string_view> arguments(words);
  return parseCommandLine(arguments);
}

TEST(CommandLineTest, ParsesOptionsInBothSpellings) {
  ParsedCommandLine parsed = parse({"install",     "--browser",
                                    "chrome",      "--browser=firefox",
                                    "--browser",   "chrome",
                                    "--origin=o1", "--origin",
                                    "o2",          "--origin",
                                    "o1",          "--extension-id",
                                    "x@y",         "--extension-id=x@y",
                                    "--system",    "--force",
                                    "--name=a.b",  "--host-path",
                                    "/h",          "--user-data-dir",
                                    "/p"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const Options& options = *parsed.options;
  EXPECT_EQ(options.command, Command::kInstall);
  ASSERT_EQ(options.browsers.size(), 2u);  // repeats dropped
  EXPECT_EQ(options.browsers[0]->key, "chrome");
  EXPECT_EQ(options.browsers[1]->key, "firefox");
  EXPECT_EQ(options.origins, (std::vector<std::string>{"o1", "o2"}));  // written once each
  EXPECT_EQ(options.extensionIds, std::vector<std::string>{"x@y"});
  EXPECT_TRUE(options.system && options.force);
  EXPECT_EQ(options.name, "a.b");
  EXPECT_EQ(options.hostPath, "/h");
  EXPECT_EQ(options.userDataDir, "/p");

  ParsedCommandLine all = parse({"status", "--browser", "all"});
  ASSERT_TRUE(all.options);
  EXPECT_EQ(all.options->browsers.size(), allBrowsers().size());
  EXPECT_EQ(all.options->name, "com.ostrel.native_host");
  EXPECT_EQ(parse({"doctor", "--help"}).options->command, Command::kHelp);
}

TEST(CommandLineTest, RejectsWhatItDoesNotKnow) {
  struct Case {
    std::initializer_list<std::string_view> words;
    const char* complaint;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"instal"}, "unknown command \"instal\""},
      {{"install", "--browsers", "chrome"}, "unrecognized option '--browsers'"},
      {{"install", "-b", "chrome"}, "unrecognized option '-b'"},
      {{"install", "--h"}, "ambiguous option '--h': could be --host-path, --help"},
      {{"install", "--system=yes"}, "the option --system takes no value"},
      {{"install", "--browser", "netscape"}, "unknown browser \"netscape\""},
      {{"install", "--origin"}, "the option --origin needs a value"},
      {{"install", "--origin", "--system"}, "the option --origin needs a value, not \"--system\""},
      {{"install", "chrome"}, "unexpected argument \"chrome\""},
      // Options that only install uses are refused elsewhere, with the reason.
      {{"uninstall", "--origin=o"}, "--origin does not apply to uninstall: only install writes"},
      {{"status", "--host-path", "/h"}, "--host-path does not apply to status"},
      {{"doctor", "--force"}, "--force does not apply to doctor"},
  };
  for (const Case& c : cases) {
    ParsedCommandLine parsed = parse(c.words);
    EXPECT_FALSE(parsed.options);
    EXPECT_NE(parsed.error.find(c.complaint), std::string::npos) << parsed.error;
  }
}

class ToolTest : public TestHome {
 protected:
  // Runs the built tool; its streams land in `output` and `errors`.
  int tool(const std::string& arguments) {
    std::string command = std::string(OSTREL_SETUP_TOOL) + " " + arguments + " >" + home +
                          "/out 2>" + home + "/err </dev/null";
    int status = std::system(command.c_str());  // NOLINT(cert-env33-c): a fixed test command
    output = read(home + "/out");
    errors = read(home + "/err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(ToolTest, ExitStatusesAndStreams) {
  EXPECT_EQ(tool("--help"), 0);
  EXPECT_NE(output.find("Usage: ostrel-native-host-setup"), std::string::npos);
  EXPECT_EQ(errors, "");

  EXPECT_EQ(tool("frobnicate"), kExitUsage);
  EXPECT_EQ(output, "");
  EXPECT_EQ(errors,
            "error: unknown command \"frobnicate\"; use install, uninstall, status or "
            "doctor (see --help)\n");
  EXPECT_EQ(tool("doctor --sytem"), kExitUsage);
  EXPECT_EQ(errors, "error: unrecognized option '--sytem' (see --help)\n");

  EXPECT_EQ(tool("install --browser chromium --origin "
                 "chrome-extension://abcdefghijklmnopabcdefghijklmnop/ "
                 "--host-path /nonexistent/host"),
            kExitUsage);
  EXPECT_EQ(errors, "error: the host path \"/nonexistent/host\" does not exist\n");
  // A program that does not answer as the host does is not registered.
  EXPECT_EQ(tool("install --browser chromium --origin "
                 "chrome-extension://abcdefghijklmnopabcdefghijklmnop/ --host-path /bin/cat"),
            kExitUsage);
  EXPECT_NE(errors.find("\"/bin/cat\" does not name ostrel-native-host: started as a browser "
                        "starts a host, it wrote no status message within 5 seconds"),
            std::string::npos)
      << errors;
  EXPECT_EQ(tool("status"), kExitFailure);
  EXPECT_NE(output.find("Chromium, per user: not registered"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::setup
