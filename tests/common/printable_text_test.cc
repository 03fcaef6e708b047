#include "tools/common/printable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace ostrel::common {
namespace {

// `character` in UTF-8, written here rather than taken from the code tested.
std::string utf8(char32_t character) {
  std::string out;
  if (character < 0x80) {
    out += static_cast<char>(character);
  } else if (character < 0x800) {
    out += static_cast<char>(0xC0 | (character >> 6));
    out += static_cast<char>(0x80 | (character & 0x3F));
  } else if (character < 0x10000) {
    out += static_cast<char>(0xE0 | (character >> 12));
    out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (character & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (character >> 18));
    out += static_cast<char>(0x80 | ((character >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (character & 0x3F));
  }
  return out;
}

TEST(PrintableTextTest, ControlsAndInvisibleFormatCharactersAreEscaped) {
  EXPECT_EQ(printableText("a\x1b[2Jb\x7f\xC2\x9B"
                          "c\xC3\xA9"),
            "a\\x1b[2Jb\\x7f\\u009bc\xC3\xA9");
  EXPECT_EQ(printableText("{\n\t\"a\": 1\r\n}"), "{\\n\\t\"a\": 1\\r\\n}");
  EXPECT_EQ(printableText("user" + utf8(0x202E) + "gpj.exe"), "user\\u202egpj.exe");
  EXPECT_EQ(printableText(utf8(0x2028) + utf8(0x200B) + utf8(0xFEFF) + utf8(0xAD)),
            "\\u2028\\u200b\\ufeff\\u00ad");
  EXPECT_EQ(printableText(utf8(0xE0041)), "\\U000e0041");
  // Every bidirectional control there is.
  for (char32_t bidi : {0x061C, 0x200E, 0x200F, 0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066,
                        0x2067, 0x2068, 0x2069}) {
    EXPECT_EQ(printableText(utf8(bidi)).substr(0, 2), "\\u")
        << std::hex << static_cast<unsigned>(bidi);
  }
  // Letters, marks, emoji and the backslash are shown as they are.
  const std::string kept =
      "\\ caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 " + utf8(0x05D0) + utf8(0x0301) + utf8(0xA0);
  EXPECT_EQ(printableText(kept), kept);
}

TEST(PrintableTextTest, BytesThatAreNotUtf8AreEscapedOneByOne) {
  EXPECT_EQ(printableText("a\x9b"
                          "1m"),
            "a\\x9b1m");
  EXPECT_EQ(printableText("\xE2\x80"), "\\xe2\\x80");                    // cut short
  EXPECT_EQ(printableText("\xC0\xAF"), "\\xc0\\xaf");                    // overlong '/'
  EXPECT_EQ(printableText("\xED\xA0\x80"), "\\xed\\xa0\\x80");           // a surrogate
  EXPECT_EQ(printableText("\xF4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // past U+10FFFF
  EXPECT_EQ(printableText("\xE2\x80\xAE"
                          "\xFF"),
            "\\u202e\\xff");
}

// Whatever is printed, no byte of it can steer a terminal: no C0 control,
// no DEL, and no C1 control, neither encoded nor as a lone byte.
TEST(PrintableTextTest, NothingPrintedCanSteerATerminal) {
  auto safe = [](const std::string& shown) {
    for (std::size_t i = 0; i < shown.size(); ++i) {
      const auto byte = static_cast<unsigned char>(shown[i]);
      if (byte < 0x20 || byte == 0x7F) return false;
      if (byte == 0xC2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) < 0xA0) {
        return false;
      }
    }
    return true;
  };
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string shown = printableText("x" + utf8(c) + "x");
    ASSERT_TRUE(safe(shown)) << std::hex << static_cast<unsigned>(c);
    EXPECT_EQ(shown == "x" + utf8(c) + "x", !isEscapedCharacter(c))
        << std::hex << static_cast<unsigned>(c);
  }
  for (int byte = 0x80; byte < 0x100; ++byte) {
    ASSERT_TRUE(safe(printableText(std::string(1, static_cast<char>(byte))))) << byte;
  }
}

}  // namespace
}  // namespace ostrel::common
