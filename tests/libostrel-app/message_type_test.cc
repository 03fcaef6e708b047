// ostrel_app_message_type against the host's own classification: the same
// answer for every text, hand-picked edges and many generated ones, and
// the type decoded whole.

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "host/classify.h"
#include "ostrel/app.h"

namespace ostrel {
namespace {

std::optional<std::string> libraryType(const std::string& text) {
  char buffer[64];
  const ssize_t length = ostrel_app_message_type(text.data(), text.size(), buffer, sizeof buffer);
  if (length < 0) return std::nullopt;
  if (static_cast<std::size_t>(length) < sizeof buffer) return std::string(buffer, length);
  std::string whole(static_cast<std::size_t>(length) + 1, '\0');
  EXPECT_EQ(ostrel_app_message_type(text.data(), text.size(), whole.data(), whole.size()), length);
  whole.resize(static_cast<std::size_t>(length));
  return whole;
}

void expectAsTheHost(const std::string& text) {
  const std::optional<std::string> host = messageType(Payload::copyOf(text));
  EXPECT_EQ(libraryType(text), host) << "for: " << text.substr(0, 200);
}

std::string wrapped(const std::string& value) { return R"({"type":"t","v":)" + value + "}"; }

TEST(MessageTypeTest, AgreesWithTheHostOnEveryEdge) {
  const std::vector<std::string> values = {
      "18446744073709551615",
      "18446744073709551616",
      "-9223372036854775808",
      "-9223372036854775809",
      "123456789012345678901234567890",
      "1e400",
      "1e-400",
      "0e99999999999999999999",
      "1e99999999999999999999",
      "1e-99999999999999999999",
      "1.7976931348623157e308",
      "1.7976931348623158e308",
      "1.7976931348623159e308",
      "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797"
      "7"
      "58720709633028641669288791094655554785194040263065748867150582068190890200070838367627385484"
      "5"
      "81771153176447573027006985557136695962284291481986083493647529271907416844436551070434271155"
      "9"
      "699508093042880177904174497792.0",
      "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797"
      "7"
      "58720709633028641669288791094655554785194040263065748867150582068190890200070838367627385484"
      "5"
      "81771153176447573027006985557136695962284291481986083493647529271907416844436551070434271155"
      "9"
      "699508093042880177904174497791.9",
      "0.00000000000000000000000000000000000000000000000000000000000001e370",
      "-0",
      "-",
      "1.",
      "01",
      "-01",
      "00",
      "1e5",
      "1E+5",
      "1e",
      "1e+",
      ".5",
      "+1",
      "0.5e-5",
      "12345678901234567890.5",
      "-12345678901234567890",
      "tru",
      "truex",
      "true",
      "false",
      "null",
      "nul",
      "1x",
      "[1,]",
      "[,1]",
      "{\"a\"}",
      "{\"a\":1,}",
      "\"\\udc00\"",
      "\"\\ud800\"",
      "\"\\ud800\\u0041\"",
      "\"\\ud83d\\ude00\"",
      "\"\\u00zz\"",
      "\"\\u0000\"",
      "\"\\x\"",
      "\"\\/\\b\\f\\n\\r\\t\\\"\\\\\"",
      "\"\x7f\"",
      "\"\x1f\"",
      "\"\xed\xa0\x80\"",
      "\"\xf4\x90\x80\x80\"",
      "\"\xc0\x80\"",
      "\"\xe0\x9f\xbf\"",
      "\"\xf0\x8f\xbf\xbf\"",
      "\"\xf4\x8f\xbf\xbf\"",
      "\"\xc3\"",
      "\"\xc3\xa9\"",
      "[]",
      "{}",
      "[[]]",
      "{\"type\":\"inner\"}"};
  for (const std::string& value : values) expectAsTheHost(wrapped(value));
  for (const std::string& text : {std::string(""),
                                  std::string(" "),
                                  std::string("{}"),
                                  std::string("[]"),
                                  std::string("5"),
                                  std::string("\"hello\""),
                                  std::string("{\"type\":\"hello\"}\f"),
                                  std::string("{\"type\":\"hello\"}\0", 17),
                                  std::string(" \t\r\n{\"type\" : \"focus\"} \n"),
                                  std::string(R"({"type":"hello","type":"focus"})"),
                                  std::string(R"({"type":"hello","type":5})"),
                                  std::string(R"({"type":5,"type":"blur"})"),
                                  std::string(R"({"type":{"type":"x"}})"),
                                  std::string(R"({"type":["x"]})"),
                                  std::string(R"({"\u0074ype":"\u0068ello"})"),
                                  std::string(R"({"type":"a\u0000b"})"),
                                  std::string(R"({"typ":"x","typee":"y"})"),
                                  std::string(R"({"data":{"type":"hello"}})"),
                                  std::string(R"([{"type":"hello"}])"),
                                  std::string(R"({"type":""})"),
                                  std::string("{\"type\":\"h\xff\"}")}) {
    expectAsTheHost(text);
  }
  // Nesting: 1024 levels are read, one more is not, and 100,000 cost no stack.
  for (const std::size_t depth : {1023, 1024, 1025, 100000}) {
    expectAsTheHost(wrapped(std::string(depth - 1, '[') + std::string(depth - 1, ']')));
    expectAsTheHost(std::string(depth, '[') + std::string(depth, ']'));
  }
}

TEST(MessageTypeTest, DecodesALongTypeWholeAndSaysHowLongItIs) {
  const std::string type(5000, 'y');
  EXPECT_EQ(libraryType(R"({"type":")" + type + "\\u00e9\"}"), type + "\xc3\xa9");
  char small[4] = {'#', '#', '#', '#'};
  const std::string text = R"({"type":"hello"})";
  EXPECT_EQ(ostrel_app_message_type(text.data(), text.size(), small, sizeof small), 5);
  EXPECT_EQ(ostrel_app_message_type("[1]", 3, small, sizeof small), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ostrel_app_message_type("{", 1, small, sizeof small), -1);
  EXPECT_EQ(errno, EBADMSG);
}

// Texts made of JSON's pieces, well-formed or one piece wrong, and their
// bytes changed at random.
std::string generated(std::mt19937& random, int depth) {
  static const std::vector<std::string> kScalars = {"0",
                                                    "-1",
                                                    "1.5e3",
                                                    "1e309",
                                                    "18446744073709551616",
                                                    "\"type\"",
                                                    "\"hello\"",
                                                    "\"\\u0074ype\"",
                                                    "\"\\ud800\"",
                                                    "true",
                                                    "null",
                                                    "\"\xc3\xa9\"",
                                                    "\"\xed\xa0\x80\"",
                                                    "1e-999",
                                                    "-0.0"};
  const int pick = static_cast<int>(random() % 10);
  if (depth > 4 || pick < 4) return kScalars[random() % kScalars.size()];
  const bool object = pick < 8;
  std::string text = object ? "{" : "[";
  const int count = static_cast<int>(random() % 4);
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ",";
    if (object) text += random() % 2 ? "\"type\":" : "\"k\" : ";
    text += generated(random, depth + 1);
  }
  return text + (object ? "}" : "]");
}

TEST(MessageTypeTest, AgreesWithTheHostOnGeneratedTexts) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 20000; ++round) {
    std::string text = "{" + std::string(random() % 2 ? "\"type\":" : "") + generated(random, 1) +
                       (random() % 2 ? ",\"type\":" : ",\"x\":") + generated(random, 1) + "}";
    if (text.find("{,") != std::string::npos) text.replace(text.find("{,"), 2, "{");
    if (round % 2 == 1) {
      const std::size_t at = random() % text.size();
      text[at] = "{}[]\",:\\ 0e.-u"[random() % 15];
    }
    expectAsTheHost(text);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace ostrel
