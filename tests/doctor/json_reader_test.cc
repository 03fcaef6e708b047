// The strict JSON reader and the property list reader, against what the
// browsers accept and refuse, and the text shown from files.

#include "json_reader.h"

#include <gtest/gtest.h>

#include "findings.h"
#include "plist_reader.h"

namespace ostrel::doctor {
namespace {

TEST(JsonReaderTest, ReadsAsTheBrowsersDoAndSaysWhereItStops) {
  JsonReading twice = readJson("\xEF\xBB\xBF{\"a\":1,\"b\":\"\\ud83d\\ude00\",\"a\":[true,null]}");
  ASSERT_TRUE(twice.value) << twice.error;
  ASSERT_EQ(twice.value->members.size(), 2U);
  EXPECT_EQ(twice.value->find("a")->type, JsonValue::Type::kArray) << "the last one counts";
  EXPECT_EQ(twice.value->find("b")->text, "\xF0\x9F\x98\x80");

  const std::pair<const char*, const char*> refused[] = {
      {"{\"a\":1,}", "expected a member name in double quotes at line 1, column 8"},
      {"[1,\n 2,\n 03]", "expected ',' or ']' after a list item at line 3, column 3"},
      {"{\"a\":\"x\ty\"}", "expected no control character in a string at line 1, column 8"},
      {"{\"a\":\"\xC3\"}", "expected valid UTF-8 at line 1, column 7"},
      {"{} {}", "expected the end of the text at line 1, column 4"},
      {"", "expected a value at line 1, column 1"},
  };
  for (const auto& [text, error] : refused) {
    JsonReading reading = readJson(text);
    EXPECT_FALSE(reading.value) << text;
    EXPECT_EQ(reading.error, error) << text;
  }
  EXPECT_TRUE(readJson("{\"a\":[1,],}", {.allowTrailingCommas = true, .requireUtf8 = true}).value);
  EXPECT_TRUE(readJson("[\"\xC3\"]", {.allowTrailingCommas = false, .requireUtf8 = false}).value);
  // Nesting is bounded: no input exhausts the stack.
  EXPECT_FALSE(readJson(std::string(100000, '[')).value);
  EXPECT_TRUE(readJson(std::string(150, '[') + std::string(150, ']')).value);
}

TEST(PlistReaderTest, ReadsManagedPreferencesInXmlForm) {
  PlistReading reading = readPlist(
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist>\n<plist version=\"1.0\"><dict>"
      "<key>NativeMessagingUserLevelHosts</key><false/>"
      "<key>NativeMessagingBlocklist</key><array><string>a&amp;b</string><string/></array>"
      "<key>Empty</key><dict/></dict></plist>");
  ASSERT_TRUE(reading.value) << reading.error;
  EXPECT_FALSE(reading.value->find("NativeMessagingUserLevelHosts")->boolean);
  const JsonValue* blocked = reading.value->find("NativeMessagingBlocklist");
  ASSERT_EQ(blocked->items.size(), 2U);
  EXPECT_EQ(blocked->items[0].text, "a&b");
  EXPECT_NE(readPlist("bplist00...").error.find("binary property list"), std::string::npos);
  EXPECT_FALSE(readPlist("<plist><dict><key>a</key></plist>").value);
}

TEST(FindingsTest, NoTerminalControlCharacterIsShown) {
  EXPECT_EQ(printable("a\x1b[2Jb\x7f\xC2\x9B"
                      "c\xC3\xA9"),
            "a\\x1b[2Jb\\x7f\\x9bc\xC3\xA9");
  EXPECT_EQ(jsonString("\"\\\n"), "\"\\\"\\\\\\\\x0a\"");
}

}  // namespace
}  // namespace ostrel::doctor
