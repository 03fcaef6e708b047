// A manifest the package carries, as the setup tool's commands see it: the
// package's, never overwritten or removed by the tool.

#include "package_manifest.h"

#include "test_home.h"

namespace ostrel::setup {
namespace {

constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

class PackageManifestTest : public TestHome {};

TEST_F(PackageManifestTest, TheToolTellsThemApartAndLeavesThemAlone) {
  std::string host = answeringHost();
  Manifest packaged = ownManifest("com.ostrel.native_host", host, Family::kChromium, {kOrigin});
  packaged.description = std::string(kPackageDescription);
  const std::string text = renderManifest(packaged);
  const std::string path =
      writeFile("root/etc/chromium/native-messaging-hosts/com.ostrel.native_host.json", text);

  EXPECT_EQ(run("status --system --browser chromium"), 0) << errors;
  EXPECT_NE(output.find("installed by the ostrel-native-host package"), std::string::npos)
      << output;

  run("doctor --system --browser chromium");
  EXPECT_NE(output.find("ok: the manifest is well formed"), std::string::npos) << output;
  EXPECT_NE(output.find(packageManifestNote()), std::string::npos) << output;
  EXPECT_EQ(output.find("not written by this tool"), std::string::npos) << output;

  EXPECT_NE(run("install --system --browser chromium --origin "
                "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"),
            0);
  EXPECT_EQ(run("uninstall --system --browser chromium"), 0) << errors;
  EXPECT_EQ(read(path), text);

  EXPECT_EQ(ownerOf(ownManifest("x", host, Family::kChromium, {kOrigin})),
            ManifestOwner::kThisTool);
  packaged.description = "by hand";
  EXPECT_EQ(ownerOf(packaged), ManifestOwner::kSomeoneElse);
}

}  // namespace
}  // namespace ostrel::setup
