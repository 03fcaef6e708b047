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
  // The parser reads into the payload's padding; sizes around its block
  // widths must all work.
  for (std::size_t filler = 0; filler < 200; ++filler) {
    const std::string text = R"({"pad":")" + std::string(filler, 'p') + R"(","type":"hello"})";
    ASSERT_EQ(typeOf(text), "hello") << filler;
  }
}

}  // namespace
}  // namespace ostrel
