#include "validation.h"

#include <gtest/gtest.h>

#include "test_home.h"

namespace ostrel::setup {
namespace {

TEST(ValidationTest, HostNames) {
  for (const char* good : {"com.ostrel.native_host", "a", "x1_2.y3", "_.a"}) {
    EXPECT_FALSE(checkHostName(good)) << good;
  }
  for (const char* bad : {"", "Com.ostrel", "com-ostrel", ".com", "com.", "com..ostrel",
                          "com ostrel", "com/ostrel", "c\xc3\xa9"}) {
    EXPECT_TRUE(checkHostName(bad)) << bad;
  }
}

TEST(ValidationTest, ChromiumOrigins) {
  // Chromium matches an id in either case, and "/*" as it matches "/".
  for (const char* good : {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/",
                           "chrome-extension://ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP/",
                           "chrome-extension://abcdefghijklmnopabcdefghijklmnop/*"}) {
    EXPECT_FALSE(checkChromiumOrigin(good)) << good;
  }
  for (const char* bad : {
           "chrome-extension://abcdefghijklmnopabcdefghijklmnop",    // no trailing slash
           "chrome-extension://abcdefghijklmnopabcdefghijklmnop//",  // two
           "chrome-extension://abcdefghijklmnopabcdefghijklmnoq/",   // q is past p
           "chrome-extension://abcdefghijklmnopabcdefghijklmnop/x",  // matches no origin
           "chrome-extension://abcdefghijklmnopabcdefghijklmno/",    // 31 letters
           "chrome-extension://abcdefghijklmnopabcdefghijklmnopa/",  // 33 letters
           "https://abcdefghijklmnopabcdefghijklmnop/",
           "abcdefghijklmnopabcdefghijklmnop",
           "",
       }) {
    EXPECT_TRUE(checkChromiumOrigin(bad)) << bad;
  }
}

TEST(ValidationTest, FirefoxExtensionIds) {
  for (const char* good :
       {"ostrel@example.org", "{12345678-abcd-ABCD-1234-1234567890ab}", "a.b-c_d@e.f"}) {
    EXPECT_FALSE(checkFirefoxExtensionId(good)) << good;
  }
  // Firefox takes an id of 99 characters; the add-on tools stop at 255.
  EXPECT_FALSE(checkFirefoxExtensionId(std::string(93, 'a') + "@b.org"));
  std::string tooLong = std::string(250, 'a') + "@b.org";
  for (const std::string& bad :
       {std::string(""), std::string("ostrel"), std::string("a@"), std::string("a@b@c"),
        std::string("a b@c"), std::string("{12345678-abcd-abcd-1234-1234567890a}"),
        std::string("12345678-abcd-abcd-1234-1234567890ab"), tooLong}) {
    EXPECT_TRUE(checkFirefoxExtensionId(bad)) << bad;
  }
}

class HostPathTest : public TestHome {};

TEST_F(HostPathTest, NeedsAnAbsolutePathToAnExecutableFile) {
  std::string executable = writeFile("bin/host", "#!/bin/sh\n", 0755);
  std::string plain = writeFile("bin/plain", "", 0644);
  EXPECT_FALSE(checkHostPath(executable));
  EXPECT_TRUE(checkHostPath("bin/host"));
  EXPECT_TRUE(checkHostPath(""));
  EXPECT_TRUE(checkHostPath(home + "/bin/missing"));
  EXPECT_TRUE(checkHostPath(home + "/bin"));
  EXPECT_TRUE(checkHostPath(plain));
  EXPECT_NE(checkHostPath(home + "/bin/missing")->find("does not exist"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::setup
