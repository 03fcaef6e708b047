#include "host_location.h"

#include <gtest/gtest.h>

namespace ostrel::setup {
namespace {

TEST(HostLocationTest, AMacHostThatWillBeGoneIsRefusedWithWhereToMoveIt) {
  for (const char* gone : {
           "/private/var/folders/xy/abc123/T/AppTranslocation/0F3A-11E2/d/Ostrel.app/Contents/"
           "MacOS/ostrel-native-host",
           "/Volumes/Ostrel 1.2/Ostrel.app/Contents/MacOS/ostrel-native-host",
           "//Volumes/./Ostrel/Ostrel.app/Contents/MacOS/ostrel-native-host",
           "/Applications/../Volumes/Ostrel/Ostrel.app/Contents/MacOS/ostrel-native-host",
       }) {
    const Problem problem = checkLastingHostLocation(gone, Platform::kMacOS);
    ASSERT_TRUE(problem) << gone;
    EXPECT_NE(problem->find(gone), std::string::npos) << *problem;
    EXPECT_NE(problem->find("move the application to /Applications first"), std::string::npos)
        << *problem;
    EXPECT_FALSE(checkLastingHostLocation(gone, Platform::kLinux)) << "no such places on Linux";
  }
  for (const char* lasting : {
           "/Applications/Ostrel.app/Contents/MacOS/ostrel-native-host",
           "/Users/me/Applications/Ostrel.app/Contents/MacOS/ostrel-native-host",
           "/Users/me/Volumes/ostrel-native-host",         // a folder of that name elsewhere
           "/Applications/AppTranslocationTool.app/host",  // a name that only begins so
           "/Volumes",
       }) {
    EXPECT_FALSE(checkLastingHostLocation(lasting, Platform::kMacOS)) << lasting;
  }
}

TEST(HostLocationTest, ASandboxContainerAsHomeIsRefusedWithWhereToRegisterFrom) {
  for (const char* container : {
           "/Users/me/Library/Containers/com.ostrel.app/Data",
           "/Users/me/Library/Containers/com.ostrel.app/Data/",
           "/Users/me/Library/Containers/com.ostrel.app/Data/Documents/..",
       }) {
    const Problem problem = checkHomeOutsideSandbox(container, Platform::kMacOS);
    ASSERT_TRUE(problem) << container;
    EXPECT_NE(problem->find("sandbox container of com.ostrel.app"), std::string::npos) << *problem;
    EXPECT_NE(problem->find("from outside the sandbox"), std::string::npos) << *problem;
    EXPECT_FALSE(checkHomeOutsideSandbox(container, Platform::kLinux));
  }
  for (const char* home : {
           "/Users/me",
           "/Users/me/Library/Containers/com.ostrel.app",  // not a container's home
           "/Users/me/Library/Containers/Data",
           "/Users/me/Library/Group Containers/group.ostrel/Data",
       }) {
    EXPECT_FALSE(checkHomeOutsideSandbox(home, Platform::kMacOS)) << home;
  }
}

}  // namespace
}  // namespace ostrel::setup
