#include "payload_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel::standins {
namespace {

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(PayloadText, ShowsJsonAsOneLineOfText) {
  EXPECT_EQ(describePayload(bytes(R"({"type":"hello"})")), R"({"type":"hello"})");
  // Pretty-printed JSON stays on one line.
  EXPECT_EQ(describePayload(bytes("{\n\t\"a\": 1\r\n}")), "{\\n\\t\"a\": 1\\r\\n}");
  EXPECT_EQ(describePayload(bytes("")), "(empty)");
  // Valid JSON may hold C1 and format characters raw: they are escaped.
  EXPECT_EQ(describePayload(bytes("[\"\xE2\x80\xAE\xC2\x9B\"]")), "[\"\\u202e\\u009b\"]");
}

TEST(PayloadText, MarksTextThatIsNotJson) {
  EXPECT_EQ(classifyPayload(bytes("{\"type\":")), PayloadKind::kText);
  EXPECT_EQ(describePayload(bytes("hello there")), "hello there  (not JSON)");
}

TEST(PayloadText, ShowsBinaryAsHex) {
  EXPECT_EQ(describePayload(std::vector<std::uint8_t>{0x00, 0x7b, 0xff}), "hex: 00 7b ff");
  // Invalid UTF-8 and control characters inside otherwise printable text.
  EXPECT_EQ(classifyPayload(bytes("caf\xc3")), PayloadKind::kBinary);
  EXPECT_EQ(classifyPayload(bytes("a\x1b[31mb")), PayloadKind::kBinary);
}

TEST(PayloadText, ShortensLongPayloadsAndSaysHowMuchIsLeft) {
  const std::string json = "\"" + std::string(300, 'x') + "\"";
  EXPECT_EQ(describePayload(bytes(json), 10), "\"xxxxxxxxx … (+292 bytes)");
  EXPECT_EQ(describePayload(bytes(json), 0), json);

  std::vector<std::uint8_t> binary(100, 0xab);
  EXPECT_EQ(describePayload(binary, 16), "hex: ab ab ab ab … (+96 bytes)");
}

TEST(PayloadText, NeverCutsInsideAUtf8Character) {
  // "é" is two bytes; a cut after 2 bytes would split the second one.
  EXPECT_EQ(describePayload(bytes("\"ééé\""), 2), "\" … (+7 bytes)");
  EXPECT_EQ(describePayload(bytes("\"ééé\""), 3), "\"é … (+5 bytes)");
}

}  // namespace
}  // namespace ostrel::standins
