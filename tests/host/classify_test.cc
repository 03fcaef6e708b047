#include "host/classify.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

std::optional<std::string> typeOf(std::string_view text) {
  return messageType(Payload::copyOf(text));
}

TEST(ClassifyTest, FindsTheStringTypeOfAnObject) {
  EXPECT_EQ(typeOf(R"({"type":"hello"})"), "hello");
  EXPECT_EQ(typeOf(" \n{ \"id\" : [1, {\"type\":\"inner\"}],\t\"type\" : \"focus\" } "), "focus");
  EXPECT_EQ(typeOf(R"({"type":"open_app"})"), "open_app");
  EXPECT_EQ(typeOf(R"({"type":"Open_app"})"), "Open_app");
  EXPECT_EQ(typeOf(R"({"type":"open_app "})"), "open_app ");
  EXPECT_EQ(typeOf(R"({"type":""})"), "");
}

TEST(ClassifyTest, DecodesEscapesAndLetsTheLastTypeCount) {
  EXPECT_EQ(typeOf(R"({"type":"\u0068ello"})"), "hello");
  EXPECT_EQ(typeOf(R"({"\u0074ype":"blur"})"), "blur");
  EXPECT_EQ(typeOf(R"({"type":"hello","type":"focus"})"), "focus");
  EXPECT_EQ(typeOf(R"({"type":"hello","type":5})"), std::nullopt);
  EXPECT_EQ(typeOf(R"({"type":5,"type":"blur"})"), "blur");
}

TEST(ClassifyTest, HasNoTypeUnlessAValidObjectWithAStringType) {
  for (std::string_view text :
       {"{}", "[1,2]", "5", "\"hello\"", "", "not json", "{\"type\":\"hello\"", R"({"type":7})",
        R"({"type":null})", R"({"type":["hello"]})", R"({"type":{"type":"hello"}})",
        R"({"kind":"hello"})", R"({"type":"hello"} trailing)"}) {
    EXPECT_EQ(typeOf(text), std::nullopt) << text;
  }
  EXPECT_EQ(typeOf("{\"type\":\"h\xff\"}"), std::nullopt) << "invalid UTF-8";
  EXPECT_EQ(typeOf("{\"type\":\"hello\",\"x\":\"\xc3\x28\"}"), std::nullopt) << "invalid UTF-8";
  std::string deep =
      R"({"type":"hello","x":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
  EXPECT_EQ(typeOf(deep), std::nullopt) << "nesting past the parser's limit";
  EXPECT_EQ(typeOf(std::string(1048576, '[')), std::nullopt);
}

TEST(ClassifyTest, ParsesInPlaceAcrossManySizes) {
  // The parser and the scan read into the payload's padding; sizes and
  // places around their block widths must all work.
  for (std::size_t filler = 0; filler < 200; ++filler) {
    const std::string text = R"({"pad":")" + std::string(filler, 'p') + R"(","type":"hello"})";
    ASSERT_EQ(typeOf(text), "hello") << filler;
    ASSERT_EQ(actedOnType(Payload::copyOf(text)), "hello") << filler;
    const std::string escaped =
        R"({"type":"x","pad":")" + std::string(filler, 'p') + R"(","type":"\u0062lur"})";
    ASSERT_EQ(actedOnType(Payload::copyOf(escaped)), "blur") << filler;
    const std::string cut = R"({"type":"x","pad":")" + std::string(filler + 1, 'p') + R"(hello"})";
    ASSERT_FALSE(mayHaveActedOnType(Payload::copyOf(cut))) << filler;
  }
}

// Look-alikes on both sides of the shortcut: texts that cannot have one of
// the four types are not parsed, and each answer is the full parse's.
TEST(ClassifyTest, FindsTheTypesItActsOnWithoutParsingWhatCannotHaveThem) {
  const struct {
    std::string_view text;
    bool parsed;
    std::optional<std::string_view> type;
  } cases[] = {
      {R"({"type":"focus","x":1})", true, "focus"},
      {R"({"type":"open_app"})", true, "open_app"},
      {R"({"type":"hel\u006co"})", true, "hello"},        // an escaped letter
      {R"({"\u0074ype":"blur"})", true, "blur"},          // an escaped name
      {R"({"type":"x","type":"focus"})", true, "focus"},  // the last one counts
      {R"({"type":"hello","type":"x"})", true, std::nullopt},
      {R"({"type":"x","note":"hello"})", true, std::nullopt},  // the word outside "type"
      {R"({"data":{"type":"hello"}})", true, std::nullopt},    // "type" in a nested object
      {R"(["hello"])", true, std::nullopt},
      {R"({"type":"hello")", true, std::nullopt},  // not valid JSON
      {R"({"type":"ping"})", false, std::nullopt},
      {R"({"type":"say hello"})", false, std::nullopt},
      {R"({"type":"hellos","x":"Blur","y":"focus "})", false, std::nullopt},
      {R"({"type":"x","s":"\"hello\""})", false, std::nullopt},         // escaped quotes
      {R"({"type":"open-app","hello":1})", true, std::nullopt},         // a name that is the word
      {R"({"type":"\u0068ello"})", true, "hello"},                      // the first letter escaped
      {R"({"type":"x","s":"caf\u00e9 \u0062"})", false, std::nullopt},  // no word's start
      {"", false, std::nullopt},
  };
  for (const auto& c : cases) {
    const Payload payload = Payload::copyOf(c.text);
    EXPECT_EQ(mayHaveActedOnType(payload), c.parsed) << c.text;
    EXPECT_EQ(actedOnType(payload), c.type) << c.text;
  }
  EXPECT_EQ(typeOf(R"({"type":"ping"})"), "ping") << "the full parse still finds every type";
}

}  // namespace
}  // namespace ostrel
