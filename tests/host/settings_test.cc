#include "host/settings.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace ostrel {
namespace {

// Sets or removes an environment variable for one test, then restores it.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(SettingsTest, TheVariableIsUsedExactlyAsGiven) {
  for (const char* value : {"/run/app.sock", "", " relative/with space ", "~/x"}) {
    ScopedVariable variable(kSocketPathVariable, value);
    const Settings settings = settleSettings();
    EXPECT_EQ(settings.socketPath, value);
    EXPECT_EQ(settings.maxMessageLength, 1048576);
  }
}

TEST(SettingsTest, TheDefaultLiesBelowTheHomeDirectory) {
  ScopedVariable variable(kSocketPathVariable, nullptr);
  {
    ScopedVariable home("HOME", "/home/u");
    EXPECT_EQ(settleSettings().socketPath,
              "/home/u/Library/Application Support/ostrel/browser.sock");
  }
  {
    ScopedVariable home("HOME", nullptr);
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(settleSettings().socketPath,
              std::string(entry->pw_dir) + "/Library/Application Support/ostrel/browser.sock");
  }
  EXPECT_EQ(defaultSocketPath("/"), "/Library/Application Support/ostrel/browser.sock");
}

TEST(SettingsTest, AnEmptyOrRelativeHomeLeavesItToThePasswordDatabase) {
  ScopedVariable variable(kSocketPathVariable, nullptr);
  const passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(entry, nullptr);
  for (const char* home : {"", "relative/home", "~"}) {
    ScopedVariable homeVariable("HOME", home);
    EXPECT_EQ(settleSettings().socketPath,
              std::string(entry->pw_dir) + "/Library/Application Support/ostrel/browser.sock")
        << "HOME=" << home;
  }
}

// The rules applied to another process's values, as the doctor does, give
// what the host settles from the same environment.
TEST(SettingsTest, GivenValuesFollowTheSameRules) {
  ScopedVariable variable(kSocketPathVariable, nullptr);
  ScopedVariable home("HOME", "/home/own");
  EXPECT_EQ(socketPathFrom(nullptr, "/home/u"),
            "/home/u/Library/Application Support/ostrel/browser.sock");
  EXPECT_EQ(socketPathFrom("", "/home/u"), "");
  EXPECT_EQ(socketPathFrom("rel", nullptr), "rel");
  EXPECT_EQ(socketPathFrom(nullptr, "relative"), socketPathFrom(nullptr, nullptr));
  EXPECT_EQ(socketPathFrom(nullptr, nullptr), socketPathFrom(nullptr, ""));
  EXPECT_EQ(socketPathFrom(nullptr, "/home/own"), settleSettings().socketPath);

  EXPECT_FALSE(connectableSocketPath(""));
  EXPECT_TRUE(connectableSocketPath(std::string(kMaxSocketPathBytes, 'a')));
  EXPECT_FALSE(connectableSocketPath(std::string(kMaxSocketPathBytes + 1, 'a')));
}

// Run in a child that takes a user id the password database does not know.
TEST(SettingsTest, WithoutAnAbsoluteHomeTheSocketPathStaysEmpty) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to take a user id without an entry";
  uid_t unknown = 48879;
  while (::getpwuid(unknown) != nullptr) ++unknown;
  int result[2];
  ASSERT_EQ(::pipe(result), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(result[0]);
    ::unsetenv(kSocketPathVariable);
    ::setenv("HOME", "", 1);
    const bool empty = ::setuid(unknown) == 0 && settleSettings().socketPath.empty();
    ::_exit(::write(result[1], empty ? "e" : "x", 1) == 1 ? 0 : 1);
  }
  ::close(result[1]);
  char verdict = '?';
  EXPECT_EQ(::read(result[0], &verdict, 1), 1);
  ::close(result[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(verdict, 'e') << "no guessed path at the root or below the working directory";
}

}  // namespace
}  // namespace ostrel
