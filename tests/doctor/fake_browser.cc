#include "fake_browser.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>

#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"

namespace ostrel::doctor::tests {

std::string browserProgram(const std::string& folder, const std::string& name) {
  const std::string path = folder + "/" + name;
  std::error_code failure;
  std::filesystem::create_directories(folder, failure);
  std::filesystem::copy_file(OSTREL_WAITING_PROGRAM, path,
                             std::filesystem::copy_options::skip_existing, failure);
  ::chmod(path.c_str(), 0755);
  return path;
}

std::unique_ptr<common::ChildProcess> fakeBrowser(const std::string& folder,
                                                  const std::string& name,
                                                  const std::vector<std::string>& options,
                                                  const std::vector<std::string>& environment) {
  const std::string program = browserProgram(folder, name);
  std::vector<std::string> argv = {"/bin/bash", "-c", "exec -a \"$0\" \"$@\"", name, program};
  argv.insert(argv.end(), options.begin(), options.end());
  auto browser = std::make_unique<common::ChildProcess>(
      common::Launch{.argv = argv, .environment = common::environmentWith(environment)});
  // An exec shows the new executable a moment before the new command line
  // and environment, which are empty meanwhile: the browser shows once its
  // command line does.
  const bool shown = browser->started() && common::waitUntil([&] {
                       const auto identity = common::identityOf(browser->pid());
                       const auto words = common::commandLineOf(browser->pid());
                       return identity && identity->executable == program && words &&
                              !words->empty() && words->front() == name;
                     });
  return shown ? std::move(browser) : nullptr;
}

void asOrdinaryUser(const std::string& home, const std::function<void()>& body) {
  if (::geteuid() != 0) {
    body();
    return;
  }
  std::cout.flush();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::vector<std::filesystem::path> owned = {home};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
      owned.push_back(entry);
    }
    bool became = true;
    for (const auto& path : owned) {
      became = became && ::lchown(path.c_str(), kOrdinaryUser, kOrdinaryUser) == 0;
    }
    // As root, setgid and setuid set the real, effective and saved ids
    // alike (and, unlike setresuid, exist on macOS too).
    became = became && ::setgroups(0, nullptr) == 0 && ::setgid(kOrdinaryUser) == 0 &&
             ::setuid(kOrdinaryUser) == 0;
    EXPECT_TRUE(became) << "could not become uid " << kOrdinaryUser;
    if (became) body();
    std::cout.flush();
    ::_exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the part run as uid " << kOrdinaryUser << " failed (see above)";
}

}  // namespace ostrel::doctor::tests
