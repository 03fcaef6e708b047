// What the build makes for the package from the setup tool's own table and
// code, and the packagers' guide, which must name the same folders.

#include "package_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "files.h"
#include "manifest.h"
#include "package_manifest.h"
#include "peers/temp_dir.h"
#include "tools/common/child_process.h"
#include "tools/common/stream_io.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Ran {
  int status = -1;
  std::string errors;
};

Ran packageFiles(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {OSTREL_PACKAGE_FILES};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  common::ChildProcess program(common::Launch{.argv = argv, .environment = {"PATH=/usr/bin:/bin"}});
  Ran ran;
  std::optional<int> status = program.waitExit(common::kDeadline);
  common::readAvailable(program.errors(), ran.errors);
  if (status && WIFEXITED(*status)) ran.status = WEXITSTATUS(*status);
  return ran;
}

TEST(PackageFilesTest, TheBuildWritesTheManifestsAndChecksTheIdsAsTheToolDoes) {
  peers::TempDir scratch;
  const std::string host = "/usr/bin/ostrel-native-host";
  const std::string id(32, 'k');
  Ran ran = packageFiles(
      {"manifests", scratch.path(), host, "--origin", id, "--extension-id", "ostrel@example.org"});
  ASSERT_EQ(ran.status, 0) << ran.errors;
  std::size_t count = 0;
  for (Family family : {Family::kChromium, Family::kFirefox}) {
    Manifest expected =
        ownManifest(std::string(kDefaultHostName), host, family,
                    {family == Family::kChromium ? "chrome-extension://" + id + "/"
                                                 : std::string("ostrel@example.org")});
    expected.description = kPackageDescription;
    for (const std::string& folder : linuxSystemFolders(family)) {
      EXPECT_EQ(fileText(scratch.path() + folder + "/com.ostrel.native_host.json"),
                renderManifest(expected))
          << folder;
      ++count;
    }
  }
  EXPECT_EQ(count, linuxSystemFolders().size());

  // A bad value stops the build with the sentence install says for it.
  const std::string bad = "chrome-extension://" + id;
  ran = packageFiles(
      {"manifests", scratch.path() + "/bad", host, "--origin", bad, "--extension-id", "no id"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.errors, "OSTREL_CHROMIUM_ORIGINS: " + *checkChromiumOrigin(bad) +
                            "\nOSTREL_FIREFOX_EXTENSION_IDS: " + *checkFirefoxExtensionId("no id") +
                            "\n");
  EXPECT_FALSE(isDirectory(scratch.path() + "/bad"));

  // The removal script of this build knows every folder.
  const std::string postrm = fileText(OSTREL_POSTRM);
  for (const std::vector<std::string>& folders : {linuxSystemFolders(), linuxUserFolders()}) {
    for (const std::string& folder : folders) {
      const std::size_t at = postrm.find(folder);
      ASSERT_NE(at, std::string::npos) << folder;
      EXPECT_NE(std::string("\n'").find(postrm[at + folder.size()]), std::string::npos) << folder;
    }
  }
  EXPECT_EQ(postrm.find("@TOOL_MARK@"), std::string::npos);
}

// The table of folders in the packagers' guide, row by row.
TEST(PackageFilesTest, ThePackagersGuideNamesEachBrowsersFolders) {
  std::map<std::string, std::vector<std::string>> rows;
  std::istringstream guide(fileText(OSTREL_PACKAGERS_GUIDE));
  for (std::string line; std::getline(guide, line);) {
    std::vector<std::string> cells;
    std::istringstream split(line);
    for (std::string cell; std::getline(split, cell, '|');) {
      std::size_t start = cell.find_first_not_of(' ');
      cells.push_back(start == std::string::npos
                          ? ""
                          : cell.substr(start, cell.find_last_not_of(' ') - start + 1));
    }
    if (cells.size() == 6 && findBrowser(cells[1]) != nullptr) rows[cells[1]] = cells;
  }
  auto shown = [](std::string_view folder) {
    return folder.empty() ? std::string("none known") : "`" + std::string(folder) + "`";
  };
  for (const Browser& browser : allBrowsers()) {
    ASSERT_TRUE(rows.contains(std::string(browser.key))) << browser.key << " has no row";
    const std::vector<std::string>& row = rows[std::string(browser.key)];
    const std::string user = browser.family == Family::kFirefox
                                 ? "~/" + std::string(browser.linuxUser)
                                 : std::string(browser.linuxUser);
    EXPECT_EQ(row[2], shown(user)) << browser.key;
    EXPECT_EQ(row[3], shown(browser.linuxSystem)) << browser.key;
    std::string_view mac = browser.macUser;
    mac.remove_prefix(std::string_view("Library/Application Support/").size());
    EXPECT_EQ(row[4], shown(mac)) << browser.key;
    EXPECT_EQ(row[5], shown(browser.macSystem)) << browser.key;
  }
  EXPECT_EQ(rows.size(), allBrowsers().size());
}

}  // namespace
}  // namespace ostrel::setup
