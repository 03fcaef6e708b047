// ostrel-package-files: makes, at build time, what the Debian package
// carries that depends on the setup tool's table of browsers (see
// package_files.h). Run by cmake/Packaging.cmake; not installed.
//
//   ostrel-package-files manifests DIR HOST [--origin V]... [--extension-id V]...
//       writes DIR/<system folder>/com.ostrel.native_host.json for each
//       browser with a system-wide folder, or names each bad value and
//       exits with 1
//   ostrel-package-files postrm TEMPLATE OUT
//       writes the removal script OUT (mode 0755) from TEMPLATE
//   ostrel-package-files folders
//       prints "chromium|firefox FOLDER" for each system-wide folder

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "package_files.h"

namespace {

using ostrel::setup::Family;

constexpr int kFailure = 1;
constexpr int kUsage = 2;

bool writeFile(const std::filesystem::path& path, const std::string& text, std::string& error) {
  std::error_code failed;
  std::filesystem::create_directories(path.parent_path(), failed);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (failed || !(out << text) || !(out.close(), out)) {
    error = "cannot write " + path.string() + (failed ? ": " + failed.message() : "");
    return false;
  }
  return true;
}

int manifests(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2 || arguments.size() % 2 != 0) return kUsage;
  std::vector<std::string> origins;
  std::vector<std::string> ids;
  for (std::size_t at = 2; at < arguments.size(); at += 2) {
    if (arguments[at] == "--origin") {
      origins.push_back(arguments[at + 1]);
    } else if (arguments[at] == "--extension-id") {
      ids.push_back(arguments[at + 1]);
    } else {
      return kUsage;
    }
  }
  std::vector<std::string> problems;
  auto files = ostrel::setup::packageManifests(origins, ids, arguments[1], problems);
  for (const std::string& problem : problems) std::cerr << problem << "\n";
  if (!problems.empty()) return kFailure;
  for (const ostrel::setup::PackagedFile& file : files) {
    std::string error;
    if (!writeFile(arguments[0] + file.path, file.text, error)) {
      std::cerr << error << "\n";
      return kFailure;
    }
  }
  return 0;
}

int postrm(const std::vector<std::string>& arguments) {
  if (arguments.size() != 2) return kUsage;
  std::ifstream in(arguments[0], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::optional<std::string> script = ostrel::setup::removalScript(text);
  std::string error;
  if (!in || !script) {
    std::cerr << "cannot make the removal script from " << arguments[0]
              << ": it cannot be read, or it names a value this program does not know\n";
    return kFailure;
  }
  if (!writeFile(arguments[1], *script, error) || ::chmod(arguments[1].c_str(), 0755) != 0) {
    std::cerr << (error.empty() ? "cannot make " + arguments[1] + " executable" : error) << "\n";
    return kFailure;
  }
  return 0;
}

int folders() {
  for (Family family : {Family::kChromium, Family::kFirefox}) {
    for (const std::string& folder : ostrel::setup::linuxSystemFolders(family)) {
      std::cout << (family == Family::kChromium ? "chromium " : "firefox ") << folder << "\n";
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  int status = kUsage;
  if (!arguments.empty()) {
    const std::string command = arguments.front();
    arguments.erase(arguments.begin());
    if (command == "manifests") status = manifests(arguments);
    if (command == "postrm") status = postrm(arguments);
    if (command == "folders" && arguments.empty()) status = folders();
  }
  if (status == kUsage) {
    std::cerr << "usage: ostrel-package-files manifests DIR HOST [--origin V]... "
                 "[--extension-id V]... | postrm TEMPLATE OUT | folders\n";
  }
  return status;
}
