// The JSON reader by each browser's rules, the property list reader in
// both forms, and the text shown from files.

#include "json_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "findings.h"
#include "plist_reader.h"

namespace ostrel::doctor {
namespace {

using namespace std::string_literals;

std::string nested(int depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

TEST(JsonReaderTest, ReadsStandardJsonAndSaysWhereItStops) {
  JsonReading twice = readJson("\xEF\xBB\xBF{\"a\":1,\"b\":\"\\ud83d\\ude00\",\"a\":[true,null]}");
  ASSERT_TRUE(twice.value) << twice.error;
  ASSERT_EQ(twice.value->members().size(), 2U);
  EXPECT_EQ(twice.value->members()[0].name, "a") << "where it came first";
  EXPECT_EQ(twice.value->find("a")->type, JsonValue::Type::kArray) << "the last one counts";
  EXPECT_EQ(twice.value->find("b")->text(), "\xF0\x9F\x98\x80");

  const std::pair<const char*, const char*> refused[] = {
      {"{\"a\":1,}", "expected a member name in double quotes at line 1, column 8"},
      {"[1,\n 2,\n 03]", "expected ',' or ']' after a list item at line 3, column 3"},
      {"{\"a\":\"x\ty\"}", "expected no control character in a string at line 1, column 8"},
      {"{\"a\":\"\xC3\"}", "expected valid UTF-8 at line 1, column 7"},
      {"{} {}", "expected the end of the text at line 1, column 4"},
      {"", "expected a value at line 1, column 1"},
      {"/* x */ 1", "expected a value at line 1, column 1"},
  };
  for (const auto& [text, error] : refused) {
    JsonReading reading = readJson(text);
    EXPECT_FALSE(reading.value) << text;
    EXPECT_EQ(reading.error, error) << text;
  }
}

// Each line as the browsers were seen to treat it (json_reader.h): for a
// Chromium manifest, a Chromium policy file, a Firefox manifest and
// Firefox's policies.json, whether the text is read.
TEST(JsonReaderTest, EachBrowserAndKindOfFileByItsOwnRules) {
  struct Row {
    std::string text;
    bool chromiumManifest, chromiumPolicy, firefoxManifest, firefoxPolicy;
  };
  const Row rows[] = {
      {"// a comment\n{\"a\":1}", true, true, false, false},
      {"{/* c */\"a\":1} // end", true, true, false, false},
      {"{\"a\":1} /* unterminated", false, false, false, false},
      {"// \xFF in a comment\n{}", true, true, false, false},
      {"{\"a\":[1,],}", false, true, false, false},
      {"[1,,]", false, false, false, false},
      {"\xEF\xBB\xBF{}", true, true, true, false},
      {"{\"a\":\"x\ny\r\"}", true, true, false, false},
      {"{\"a\":\"x\\x41\"}", true, true, false, false},
      {"{\"a\":\"x\\v\"}", false, false, false, false},
      {"{\"a\":\"\x01\"}", false, false, false, false},
      {"{\"a\":\"\xFF\"}", false, false, false, true},
      {"{\"a\":\"\xC0\xAF\"}", false, false, false, true},
      {"{\"a\":\"\\ud800\"}", false, false, true, true},
      {"{\"a\":\"\\udc00\\u0041\"}", false, false, true, true},
      {"{\"a\":1e400}", false, false, true, true},
      {"{\"a\":[-0,1E5,1e-400,179769313486231570e291]}", true, true, true, true},
      {"{\"a\":1.8e308}", false, false, true, true},
      {"{\"a\":\"\\u0000\",\"\":1}", true, true, true, true},
      {"{\"a\":1} \x0C", false, false, false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(readJson(row.text, kChromiumManifestJson).value.has_value(), row.chromiumManifest)
        << row.text;
    EXPECT_EQ(readJson(row.text, kChromiumPolicyJson).value.has_value(), row.chromiumPolicy)
        << row.text;
    EXPECT_EQ(readJson(row.text, kFirefoxManifestJson).value.has_value(), row.firefoxManifest)
        << row.text;
    EXPECT_EQ(readJson(row.text, kFirefoxPolicyJson).value.has_value(), row.firefoxPolicy)
        << row.text;
  }
  // What the accepted extensions read as.
  EXPECT_EQ(readJson("[\"a\\x41\\xe9\"]", kChromiumManifestJson).value->items()[0].text(),
            "aA\xC3\xA9");
  EXPECT_EQ(readJson("[\"\\ud800\xFF\"]", kFirefoxPolicyJson).value->items()[0].text(),
            "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(JsonReaderTest, NestingAsDeepAsEachBrowserTakes) {
  // Chromium: 199 arrays or objects, the outermost counting, even empty.
  for (const JsonOptions& rules : {kChromiumManifestJson, kChromiumPolicyJson}) {
    EXPECT_TRUE(readJson(nested(199, '[', ']'), rules).value);
    EXPECT_FALSE(readJson(nested(200, '[', ']'), rules).value);
    std::string objects;
    for (int i = 1; i < 199; ++i) objects += "{\"a\":";
    EXPECT_TRUE(readJson(objects + "{\"a\":1}" + std::string(198, '}'), rules).value);
    EXPECT_FALSE(readJson(objects + "{\"a\":{}}" + std::string(198, '}'), rules).value);
  }
  // Firefox: no limit, and the reader holds it without recursion.
  JsonReading deep = readJson(nested(1'000'000, '[', ']'), kFirefoxManifestJson);
  ASSERT_TRUE(deep.value) << deep.error;
  EXPECT_EQ(deep.value->items()[0].items().size(), 1U);
}

TEST(JsonReaderTest, ManyMembersKeepTheirFirstPlaceAndLastValue) {
  std::string text = "{";
  for (int i = 0; i < 1000; ++i)
    text += "\"k" + std::to_string(i % 300) + "\":" + std::to_string(i) + ",";
  text += "\"end\":[]}";
  JsonReading reading = readJson(text);
  ASSERT_TRUE(reading.value) << reading.error;
  const auto members = reading.value->members();
  ASSERT_EQ(members.size(), 301U);
  EXPECT_EQ(members[7].name, "k7");
  EXPECT_EQ(members[7].value.text(), "907");
  EXPECT_EQ(members[299].value.text(), "899");
  EXPECT_EQ(reading.value->find("end")->type, JsonValue::Type::kArray);
}

// A managed preferences file as Python's plistlib writes one:
//   plistlib.dumps({"NativeMessagingBlocklist": ["*"],
//                   "NativeMessagingUserLevelHosts": False,
//                   "ExtensionSettings": {"*": {"installation_mode": "blocked"}},
//                   "Count": 3, "Big": -2**40, "Ratio": 0.5,
//                   "When": datetime.datetime(2024, 5, 1, 12, 0, 0),
//                   "Blob": b"\x00\x01\x02\xff", "Name": "caf\u00e9 \U0001F375"},
//                  fmt=plistlib.FMT_BINARY, sort_keys=False)
// The string "*" is one object, named as an item and as a key.
const std::string kManagedPreferences =
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd9\x01\x02\x03\x04\x05\x06\x07"
    "\x08\x09\x0a\x0c\x0d\x11\x12\x13\x14\x15\x16\x5f\x10\x18\x4e\x61"
    "\x74\x69\x76\x65\x4d\x65\x73\x73\x61\x67\x69\x6e\x67\x42\x6c\x6f"
    "\x63\x6b\x6c\x69\x73\x74\x5f\x10\x1d\x4e\x61\x74\x69\x76\x65\x4d"
    "\x65\x73\x73\x61\x67\x69\x6e\x67\x55\x73\x65\x72\x4c\x65\x76\x65"
    "\x6c\x48\x6f\x73\x74\x73\x5f\x10\x11\x45\x78\x74\x65\x6e\x73\x69"
    "\x6f\x6e\x53\x65\x74\x74\x69\x6e\x67\x73\x55\x43\x6f\x75\x6e\x74"
    "\x53\x42\x69\x67\x55\x52\x61\x74\x69\x6f\x54\x57\x68\x65\x6e\x54"
    "\x42\x6c\x6f\x62\x54\x4e\x61\x6d\x65\xa1\x0b\x51\x2a\x08\xd1\x0b"
    "\x0e\xd1\x0f\x10\x5f\x10\x11\x69\x6e\x73\x74\x61\x6c\x6c\x61\x74"
    "\x69\x6f\x6e\x5f\x6d\x6f\x64\x65\x57\x62\x6c\x6f\x63\x6b\x65\x64"
    "\x10\x03\x13\xff\xff\xff\x00\x00\x00\x00\x00\x23\x3f\xe0\x00\x00"
    "\x00\x00\x00\x00\x33\x41\xc5\xf1\x33\x20\x00\x00\x00\x44\x00\x01"
    "\x02\xff\x67\x00\x63\x00\x61\x00\x66\x00\xe9\x00\x20\xd8\x3c\xdf"
    "\x75\x08\x1b\x36\x56\x6a\x70\x74\x7a\x7f\x84\x89\x8b\x8d\x8e\x91"
    "\x94\xa8\xb0\xb2\xbb\xc4\xcd\xd2\x00\x00\x00\x00\x00\x00\x01\x01"
    "\x00\x00\x00\x00\x00\x00\x00\x17\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\xe1"s;

// A binary property list of the objects given, each its marker and what
// follows, the first on top; offsets and references of one byte.
std::string binaryPlist(const std::vector<std::string>& objects) {
  std::string file = "bplist00";
  std::string offsets;
  for (const std::string& object : objects) {
    offsets += static_cast<char>(file.size());
    file += object;
  }
  const std::size_t table = file.size();
  file += offsets;
  file += std::string(6, '\0') + "\x01\x01"s;
  for (const std::size_t value : {objects.size(), std::size_t{0}, table}) {
    for (int shift = 56; shift >= 0; shift -= 8) file += static_cast<char>(value >> shift & 0xFF);
  }
  return file;
}

TEST(PlistReaderTest, ReadsManagedPreferencesInBinaryForm) {
  PlistReading reading = readPlist(kManagedPreferences);
  ASSERT_TRUE(reading.value) << reading.error;
  const JsonValue& root = *reading.value;
  EXPECT_EQ(root.find("NativeMessagingBlocklist")->items()[0].text(), "*");
  EXPECT_FALSE(root.find("NativeMessagingUserLevelHosts")->boolean);
  EXPECT_EQ(root.find("NativeMessagingUserLevelHosts")->type, JsonValue::Type::kBool);
  EXPECT_EQ(root.find("ExtensionSettings")->find("*")->find("installation_mode")->text(),
            "blocked");
  EXPECT_EQ(root.find("Count")->text(), "3");
  EXPECT_EQ(root.find("Big")->text(), "-1099511627776");
  EXPECT_EQ(root.find("Ratio")->text(), "0.5");
  EXPECT_EQ(root.find("When")->text(), "2024-05-01T12:00:00Z");
  EXPECT_EQ(root.find("Blob")->text(), "AAEC/w==");
  EXPECT_EQ(root.find("Name")->text(), "caf\xC3\xA9 \xF0\x9F\x8D\xB5");

  // Fifteen items and more carry their count in an integer after the marker.
  const std::string many = "\xAF\x10\x10" + std::string(16, '\x01');
  PlistReading long_list = readPlist(binaryPlist({many, "\x09"}));
  ASSERT_TRUE(long_list.value) << long_list.error;
  EXPECT_EQ(long_list.value->items().size(), 16U);
}

TEST(PlistReaderTest, RefusesABinaryFormThatIsNotWellFormed) {
  const std::pair<std::string, const char*> refused[] = {
      {kManagedPreferences.substr(0, kManagedPreferences.size() - 1), "offsets or references"},
      {kManagedPreferences.substr(0, 40), "shorter than its trailer"},
      {"bplist01" + kManagedPreferences.substr(8), "a version other than bplist00"},
      {binaryPlist({"\xA1\x00"s}), "holds itself"},
      {binaryPlist({"\xA1\x01", "\xA1\x00"s}), "holds itself"},
      {binaryPlist({"\xA1\x05"}), "an object outside the file"},
      {binaryPlist({"\xA3\x01"}), "longer than the file"},
      {binaryPlist({"\x5F\x10\xFF"
                    "abc"}),
       "longer than the file"},
      {binaryPlist({"\xD1\x01\x01", "\x10\x07"}), "a dict key that is not a string"},
      {binaryPlist({"\x51\xE9"}), "not ASCII"},
      {binaryPlist({"\xC1\x00"s}), "marker 0xc1"},
      {binaryPlist({"\x33\x7F\xF0\x00\x00\x00\x00\x00\x00"s}), "a date out of range"},
  };
  for (const auto& [bytes, why] : refused) {
    PlistReading reading = readPlist(bytes);
    EXPECT_FALSE(reading.value) << why;
    EXPECT_NE(reading.error.find(why), std::string::npos) << reading.error;
  }
  // Shared objects: thirty arrays, each naming the next twice, reach 2^30
  // values from 31 objects; the reader stops at a million.
  std::vector<std::string> bomb;
  for (int i = 1; i <= 30; ++i)
    bomb.push_back("\xA2"s + static_cast<char>(i) + static_cast<char>(i));
  bomb.emplace_back("\x09");
  EXPECT_NE(readPlist(binaryPlist(bomb)).error.find("more than 1048576 values"), std::string::npos);
  // An offset table said to lie past the file.
  std::string past = kManagedPreferences;
  past[past.size() - 2] = '\x7F';
  EXPECT_NE(readPlist(past).error.find("offset table outside"), std::string::npos);
}

TEST(PlistReaderTest, ReadsManagedPreferencesInXmlForm) {
  PlistReading reading = readPlist(
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist>\n<plist version=\"1.0\"><dict>"
      "<key>NativeMessagingUserLevelHosts</key><true/>"
      "<key>NativeMessagingBlocklist</key><array><string>a&amp;b</string><string/></array>"
      "<key>When</key><date>2024-05-01T12:00:00Z</date><key>Blob</key><data>\n AAEC/w==\n</data>"
      "<key>NativeMessagingUserLevelHosts</key><false/><key>Empty</key><dict/></dict></plist>");
  ASSERT_TRUE(reading.value) << reading.error;
  EXPECT_EQ(reading.value->members().size(), 5U);
  EXPECT_FALSE(reading.value->find("NativeMessagingUserLevelHosts")->boolean);
  const auto blocked = reading.value->find("NativeMessagingBlocklist")->items();
  ASSERT_EQ(blocked.size(), 2U);
  EXPECT_EQ(blocked[0].text(), "a&b");
  EXPECT_EQ(reading.value->find("Blob")->text(), "AAEC/w==");
  EXPECT_FALSE(readPlist("<plist><dict><key>a</key></plist>").value);
}

TEST(FindingsTest, NoTerminalControlCharacterIsShown) {
  EXPECT_EQ(printable("a\x1b[2Jb\x7f\xC2\x9B"
                      "c\xC3\xA9"),
            "a\\x1b[2Jb\\x7f\\u009bc\xC3\xA9");
  EXPECT_EQ(jsonString("\"\\\n\xE2\x80\xAE"), "\"\\\"\\\\\\\\n\\\\u202e\"");
}

}  // namespace
}  // namespace ostrel::doctor
