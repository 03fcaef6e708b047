// The JSON reader by each browser's rules, the property list reader in
// both forms, and the text shown from files.

#include "json_reader.h"

#include <gtest/gtest.h>

#include <string>

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
  EXPECT_NE(readPlist("bplist00...").error.find("binary property list"), std::string::npos);
}

TEST(FindingsTest, NoTerminalControlCharacterIsShown) {
  EXPECT_EQ(printable("a\x1b[2Jb\x7f\xC2\x9B"
                      "c\xC3\xA9"),
            "a\\x1b[2Jb\\x7f\\x9bc\xC3\xA9");
  EXPECT_EQ(jsonString("\"\\\n"), "\"\\\"\\\\\\\\x0a\"");
}

}  // namespace
}  // namespace ostrel::doctor
