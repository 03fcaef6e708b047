#include "host/open_app.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(OpenAppTest, TheBundleLiesThreeLevelsAboveTheExecutable) {
  EXPECT_EQ(enclosingBundle("/Applications/Example.app/Contents/MacOS/host"),
            "/Applications/Example.app");
  EXPECT_EQ(enclosingBundle("/a/b.c.app/Contents/MacOS/host"), "/a/b.c.app");
  EXPECT_EQ(enclosingBundle("/Example.app/x/y/host"), "/Example.app");
}

TEST(OpenAppTest, NoBundleUnlessTheExtensionIsExactlyApp) {
  for (const char* path :
       {"/Applications/Example.App/Contents/MacOS/host",
        "/Applications/Example.apps/Contents/MacOS/host",
        "/Applications/Example/Contents/MacOS/host", "/usr/local/bin/host", "/Contents/MacOS/host",
        "/MacOS/host", "host", "/opt/app/Contents/MacOS/host", "/opt/.app/Contents/MacOS/host"}) {
    EXPECT_EQ(enclosingBundle(path), std::nullopt) << path;
  }
}

}  // namespace
}  // namespace ostrel
