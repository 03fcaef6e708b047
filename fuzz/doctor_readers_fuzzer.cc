// The doctor's readers, fed what a file or another process may hold:
// manifests read by either browser's rules, JSON by each browser's rules
// for each kind of file, property lists (XML and binary), a profile's
// Preferences, Firefox's profiles.ini and extensions.json, and a /proc
// command line. None may crash, hang or grow without bound, and text shown
// from any of them carries no terminal control character.
//
// Input: the first byte chooses the reader (and for JSON, the rules), the
// rest is the file. A tree read is walked whole: each object holds each
// name once.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "findings.h"
#include "fuzz_check.h"
#include "installed_extensions.h"
#include "json_reader.h"
#include "manifest_rules.h"
#include "plist_reader.h"
#include "running_browsers.h"

namespace {

using ostrel::setup::Family;

// A private folder for the profile readers, made once, removed at exit.
// Kept on the heap, so that it outlives the exit handler that removes it.
const std::string& scratch() {
  static const std::string* const folder = [] {
    std::string pattern = "/tmp/ostrel-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    return new std::string(pattern);
  }();
  static const bool removed = [] {
    return std::atexit([] {
             std::error_code ignored;
             std::filesystem::remove_all(*folder, ignored);
           }) == 0;
  }();
  FUZZ_CHECK(removed);
  return *folder;
}

void write(const std::string& relative, std::string_view text) {
  const std::string path = scratch() + "/" + relative;
  const std::string folder = path.substr(0, path.rfind('/'));
  for (std::size_t at = scratch().size() + 1; at <= folder.size(); ++at) {
    if (at == folder.size() || folder[at] == '/') ::mkdir(folder.substr(0, at).c_str(), 0700);
  }
  // A plain write: the readers never see it half done, and no sync is needed.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  FUZZ_CHECK(::close(fd) == 0);
}

void checkPrintable(const std::string& text) {
  const std::string shown = ostrel::doctor::printable(text);
  for (unsigned char c : shown) FUZZ_CHECK(c >= 0x20 && c != 0x7F);
  FUZZ_CHECK(ostrel::doctor::jsonString(text).size() >= 2);
}

void checkTree(const ostrel::doctor::JsonValue& root) {
  std::vector<const ostrel::doctor::JsonValue*> left{&root};
  while (!left.empty()) {
    const ostrel::doctor::JsonValue* value = left.back();
    left.pop_back();
    std::set<std::string_view> names;
    for (const auto& member : value->members()) {
      FUZZ_CHECK(names.insert(member.name).second);
      left.push_back(&member.value);
    }
    for (const auto& item : value->items()) left.push_back(&item);
  }
}

constexpr const ostrel::doctor::JsonOptions* kRules[] = {
    &ostrel::doctor::kChromiumManifestJson, &ostrel::doctor::kChromiumPolicyJson,
    &ostrel::doctor::kFirefoxManifestJson, &ostrel::doctor::kFirefoxPolicyJson};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0:
    case 1: {
      const Family family = data[0] % 7 == 0 ? Family::kChromium : Family::kFirefox;
      ostrel::doctor::ManifestJudgement judgement =
          ostrel::doctor::judgeManifest(text, family, "com.ostrel.native_host");
      FUZZ_CHECK(judgement.manifest || !judgement.faults.empty());
      for (const std::string& fault : judgement.faults) checkPrintable(fault);
      if (judgement.manifest) {
        ostrel::doctor::allowsExtension(*judgement.manifest, "abcdefghijklmnopabcdefghijklmnop");
      }
      break;
    }
    case 2: {
      const auto reading = ostrel::doctor::readJson(text, *kRules[data[0] / 7 % 4]);
      if (reading.value) checkTree(*reading.value);
      break;
    }
    case 3: {
      const auto reading = ostrel::doctor::readPlist(text);
      if (reading.value) checkTree(*reading.value);
      break;
    }
    case 4: {
      write("chromium/Default/Preferences", text);
      for (const auto& profile :
           ostrel::setup::findProfiles(Family::kChromium, scratch() + "/chromium")) {
        for (const auto& extension : profile.extensions) checkPrintable(extension.name);
      }
      break;
    }
    case 5: {
      // profiles.ini and extensions.json from one input, split at the first NUL.
      const std::size_t split = text.find('\0');
      write("firefox/profiles.ini", text.substr(0, split));
      write("firefox/p/extensions.json",
            split == std::string_view::npos ? std::string_view() : text.substr(split + 1));
      ostrel::setup::findProfiles(Family::kFirefox, scratch() + "/firefox");
      break;
    }
    default: {
      std::vector<std::string> words;
      std::size_t start = 0;
      while (start <= text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string_view::npos) end = text.size();
        words.emplace_back(text.substr(start, end - start));
        start = end + 1;
      }
      const std::string executable = words.empty() ? std::string() : words.front();
      for (const auto platform :
           {ostrel::setup::Platform::kLinux, ostrel::setup::Platform::kMacOS}) {
        ostrel::doctor::browserIn(executable, words, platform);
      }
      break;
    }
  }
  return 0;
}
