// A child is started as a browser starts a host, whatever the starting
// process has done to its own signals, descriptors, environment and folder.
#include "tools/common/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "peers/temp_dir.h"
#include "support/test_support.h"
#include "tools/common/exit_status.h"
#include "tools/common/process_table.h"
#include "tools/common/stream_io.h"

namespace ostrel::common {
namespace {

namespace fs = std::filesystem;

// The signal set after "name:" in /proc/PID/status, less glibc's two
// internal signals (32 and 33), which it keeps to itself.
std::uint64_t signalSet(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name + ":", 0) == 0) {
      return std::stoull(line.substr(name.size() + 1), nullptr, 16) & ~(std::uint64_t{3} << 31);
    }
  }
  return ~std::uint64_t{0};
}

TEST(ChildProcess, StartsCleanOfWhatTheStartingProcessHasDone) {
  if (!fs::exists("/proc/self/status")) GTEST_SKIP() << "looks through /proc";
  // What this process has and a browser's child never gets.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  sigset_t blocked;
  sigset_t before;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
  const int stray = ::open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 3);
  // And one it is asked to hand over, as some browsers do.
  const int handed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GT(handed, stray);

  peers::TempDir dir;
  ChildProcess child({.argv = {"cat"},
                      .environment = {"ONLY=this"},
                      .workingDirectory = dir.path(),
                      .inherited = {handed}});
  ::close(stray);
  ::close(handed);
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(child.started()) << child.startError();

  // Once cat echoes, it is past its start-up and waits on its input.
  ASSERT_TRUE(writeBytes(child.input(), asBytes("through")));
  EXPECT_EQ(readBytes(child.output(), 7), bytesOf("through"));
  const std::string proc = "/proc/" + std::to_string(child.pid());
  EXPECT_EQ(descriptorCount(child.pid()), 4);
  EXPECT_TRUE(fs::exists(proc + "/fd/" + std::to_string(handed)));
  EXPECT_EQ(signalSet(child.pid(), "SigIgn"), 0u) << "ignored signals";
  EXPECT_EQ(signalSet(child.pid(), "SigBlk"), 0u) << "blocked signals";
  EXPECT_EQ(fs::read_symlink(proc + "/cwd"), fs::path(dir.path()));
  std::ifstream environ(proc + "/environ");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(environ), {}),
            std::string("ONLY=this\0", 10));

  child.closeInput();
  EXPECT_TRUE(tests::exitedWithZero(child.waitExit(kDeadline)));
  EXPECT_EQ(child.pid(), -1);
}

TEST(ChildProcess, SaysWhyAProgramDidNotStart) {
  ChildProcess missing({.argv = {"/nonexistent/program"}});
  EXPECT_FALSE(missing.started());
  EXPECT_EQ(missing.startError(), "cannot start /nonexistent/program: No such file or directory");
  ChildProcess nowhere({.argv = {"cat"}, .workingDirectory = "/nonexistent"});
  EXPECT_FALSE(nowhere.started());
}

}  // namespace
}  // namespace ostrel::common
