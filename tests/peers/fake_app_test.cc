// The fake application takes over only what is safe to take over, and
// removes only its own socket file.
#include "peers/fake_app.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>

#include "peers/temp_dir.h"
#include "platform/descriptors.h"

namespace ostrel::peers {
namespace {

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

TEST(FakeApp, ReplacesAStaleSocketButNeverALiveOneOrAnotherFile) {
  TempDir dir;
  const std::string path = dir.file("sub/app.sock");  // the folder is created
  {
    FakeApp first(path);
    ASSERT_TRUE(first.listening()) << first.error();
    FakeApp second(path);
    EXPECT_FALSE(second.listening());
    EXPECT_EQ(second.error(), "another program is already listening on " + path);
    ::unlink(path.c_str());  // another program takes the path over ...
    FakeApp third(path);
    ASSERT_TRUE(third.listening()) << third.error();
    first.stop();  // ... and the first leaves it alone
    EXPECT_TRUE(exists(path));
    third.stop();
    EXPECT_FALSE(exists(path));
  }
  {
    // A socket file left by an application that died.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int dead = openUnixStreamSocket();
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(dead);
    FakeApp next(path);
    EXPECT_TRUE(next.listening()) << next.error();
  }
  std::ofstream(dir.file("plain")) << "data";
  FakeApp onAFile(dir.file("plain"));
  EXPECT_FALSE(onAFile.listening());
  EXPECT_TRUE(exists(dir.file("plain")));
}

}  // namespace
}  // namespace ostrel::peers
