#include "host/settings.h"

#include <gtest/gtest.h>
#include <pwd.h>
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

}  // namespace
}  // namespace ostrel
