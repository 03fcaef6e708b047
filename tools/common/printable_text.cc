#include "printable_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>

namespace ostrel::common {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// The C0 and C1 controls, DEL, the line and paragraph separators, and the
// format characters (general category Cf), in order.
constexpr Range kEscaped[] = {
    {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
    {0x2060, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

struct Decoded {
  char32_t character;
  std::size_t length;
};

// The character that starts `text`, when it is valid UTF-8 there: no
// overlong form, no surrogate, nothing past U+10FFFF.
std::optional<Decoded> decodeFirst(std::string_view text) {
  const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return Decoded{lead, 1};
  std::size_t length = 0;
  char32_t character = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, character = lead & 0x1Fu, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, character = lead & 0x0Fu, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, character = lead & 0x07u, smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    character = (character << 6) | (byte(i) & 0x3Fu);
  }
  if (character < smallest || character > 0x10FFFF ||
      (character >= 0xD800 && character <= 0xDFFF)) {
    return std::nullopt;
  }
  return Decoded{character, length};
}

void appendEscape(std::string& out, const char* format, unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

void appendEscaped(std::string& out, char32_t character) {
  switch (character) {
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  const auto value = static_cast<unsigned>(character);
  if (character < 0x80) {
    appendEscape(out, "\\x%02x", value);
  } else if (character <= 0xFFFF) {
    appendEscape(out, "\\u%04x", value);
  } else {
    appendEscape(out, "\\U%08x", value);
  }
}

}  // namespace

bool isEscapedCharacter(char32_t character) {
  const Range* after =
      std::upper_bound(std::begin(kEscaped), std::end(kEscaped), character,
                       [](char32_t value, const Range& range) { return value < range.first; });
  return after != std::begin(kEscaped) && character <= std::prev(after)->last;
}

std::string printableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    if (text.front() >= 0x20 && text.front() < 0x7F) {
      out += text.front();
      text.remove_prefix(1);
      continue;
    }
    std::optional<Decoded> decoded = decodeFirst(text);
    if (!decoded) {
      appendEscape(out, "\\x%02x", static_cast<std::uint8_t>(text.front()));
      text.remove_prefix(1);
      continue;
    }
    if (isEscapedCharacter(decoded->character)) {
      appendEscaped(out, decoded->character);
    } else {
      out.append(text.substr(0, decoded->length));
    }
    text.remove_prefix(decoded->length);
  }
  return out;
}

}  // namespace ostrel::common
