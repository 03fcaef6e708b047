#include "test_home.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "doctor.h"
#include "files.h"
#include "tools/common/paths.h"

namespace ostrel::setup {

void TestHome::SetUp() {
  scratch_ = std::make_unique<peers::TempDir>();
  home = scratch_->path();
  ASSERT_FALSE(home.empty());
  root = home + "/root";
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("OSTREL_SOCKET_PATH");
  environment = *currentEnvironment();
  environment.platform = Platform::kLinux;
  environment.systemRoot = root;
  environment.searchPath = home + "/programs";
}

void TestHome::TearDown() { scratch_.reset(); }

int TestHome::run(const std::string& words) {
  std::vector<std::string> pieces;
  std::istringstream split(words);
  for (std::string piece; split >> piece;) pieces.push_back(piece);
  std::vector<std::string_view> views(pieces.begin(), pieces.end());
  ParsedCommandLine parsed = parseCommandLine(views);
  if (!parsed.options) {
    errors = parsed.error;
    return kExitUsage;
  }
  std::ostringstream out;
  std::ostringstream err;
  Context context{.options = *parsed.options,
                  .environment = environment,
                  .defaultHostPath = home + "/bin/ostrel-native-host",
                  .tapPath = home + "/bin/ostrel-native-host-tap",
                  .out = out,
                  .err = err,
                  .probeDeadline = probeDeadline,
                  .launch = launch};
  int status = kExitUsage;
  switch (parsed.options->command) {
    case Command::kInstall:
      status = runInstall(context);
      break;
    case Command::kUninstall:
      status = runUninstall(context);
      break;
    case Command::kStatus:
      status = runStatus(context);
      break;
    case Command::kDoctor:
      status = doctor::runDoctor(context);
      break;
    default:
      break;
  }
  output = out.str();
  errors = err.str();
  return status;
}

std::string TestHome::writeFile(const std::string& relative, const std::string& text, int mode) {
  std::string path = joinPath(home, relative);
  std::vector<std::string> created;
  EXPECT_FALSE(makeDirectories(common::parentFolder(path), 0755, created));
  EXPECT_FALSE(writeFileAtomically(path, text));
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
  return path;
}

std::string TestHome::read(const std::string& path) { return readWholeFile(path).text; }

bool TestHome::exists(const std::string& path) {
  return readWholeFile(path).state != FileState::kMissing;
}

std::string TestHome::fakeHost(const std::string& body) {
  return writeFile("bin/ostrel-native-host", "#!/bin/sh\n" + body + "\n", 0755);
}

std::string TestHome::answeringHost() {
  return fakeHost(
      R"(printf '\045\000\000\000{"type":"status","app":"unavailable"}'; cat >/dev/null)");
}

}  // namespace ostrel::setup
