#include "json_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <vector>

namespace ostrel::doctor {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
// Sizes are kept in 32 bits, child counts in 31.
constexpr std::size_t kMostBytes = std::numeric_limits<std::int32_t>::max();

// The walk both passes make over the text: the first (building_ false)
// checks it and counts the children of every array and object, in the
// order they open, and the characters of every string and number; the
// second places each value in blocks of exactly that size. Containers are
// a stack of frames on the heap, not recursion.
class Reader {
 public:
  Reader(std::string_view text, const JsonOptions& options) : text_(text), options_(options) {}

  JsonReading read() {
    if (text_.size() > kMostBytes) return failure("a text under 2 GiB");
    if (!walk(nullptr)) return failure(expected_);
    auto storage = std::make_shared<JsonStorage>();
    const std::size_t chars = charsUsed_;
    storage->reserve(itemsTotal_, membersTotal_, chars);
    items_ = storage->values(itemsTotal_);
    members_ = storage->members(membersTotal_);
    chars_ = storage->chars(chars);
    building_ = true;
    JsonValue root;
    if (!walk(&root)) return failure(expected_);  // the text was checked: never
    return {.value = root, .error = {}, .line = 0, .column = 0, .storage = std::move(storage)};
  }

 private:
  struct Frame {
    JsonValue* node;      // second pass: where the container's value is
    std::uint32_t first;  // first pass: its place in counts_; second: its first child's
    std::uint32_t children : 31;
    std::uint32_t object : 1;
  };

  JsonReading failure(std::string_view expected) const {
    const std::string_view before = text_.substr(0, std::min(position_, text_.size()));
    const std::size_t lastNewline = before.rfind('\n');
    const std::size_t lineStart = lastNewline == std::string_view::npos ? 0 : lastNewline + 1;
    const int line = static_cast<int>(std::count(before.begin(), before.end(), '\n')) + 1;
    const int column = static_cast<int>(before.size() - lineStart) + 1;
    return {.value = std::nullopt,
            .error = "expected " + std::string(expected) + " at line " + std::to_string(line) +
                     ", column " + std::to_string(column),
            .line = line,
            .column = column,
            .storage = nullptr};
  }

  bool fail(const char* expected) {
    expected_ = expected;
    return false;
  }

  // Puts a value where it goes: only the second pass has a place for it.
  static void place(JsonValue* slot, JsonValue value) {
    if (slot != nullptr) *slot = value;
  }

  bool at(char c) const { return position_ < text_.size() && text_[position_] == c; }
  bool atEnd() const { return position_ >= text_.size(); }

  // The whole document: a value, each container's children in turn, and
  // nothing after it but space.
  bool walk(JsonValue* root) {
    position_ = 0;
    counted_ = 0;
    itemsUsed_ = 0;
    membersUsed_ = 0;
    charsUsed_ = 0;
    stack_.clear();
    if (options_.skipByteOrderMark && text_.starts_with(kByteOrderMark)) position_ = 3;
    JsonValue* slot = root;
    for (;;) {
      if (!space()) return false;
      if (at('[') || at('{')) {
        if (!open(at('{'), slot)) return false;
      } else if (!scalar(slot)) {
        return false;
      }
      bool more = false;
      if (!next(slot, more)) return false;
      if (!more) return true;
    }
  }

  // After a value, or just after an opening bracket: closes what ends
  // here, then points `slot` at the next child, or says there is none.
  bool next(JsonValue*& slot, bool& more) {
    for (;;) {
      if (!space()) return false;
      if (stack_.empty()) {
        if (!atEnd()) return fail("the end of the text");
        more = false;
        return true;
      }
      Frame& top = stack_.back();
      const char close = top.object ? '}' : ']';
      if (top.children > 0) {
        if (!at(close) && !at(',')) {
          return fail(top.object ? "',' or '}' after a member" : "',' or ']' after a list item");
        }
        if (at(',')) {
          ++position_;
          if (!options_.allowTrailingCommas) break;
          if (!space()) return false;
          if (!at(close)) break;
        }
      } else if (!at(close)) {
        break;
      }
      ++position_;
      closeTop();
    }
    more = true;
    return child(stack_.back(), slot);
  }

  bool open(bool object, JsonValue* slot) {
    if (options_.maxDepth > 0 && stack_.size() >= static_cast<std::size_t>(options_.maxDepth)) {
      return fail("less nesting");
    }
    ++position_;
    Frame frame{.node = slot, .first = 0, .children = 0, .object = object ? 1U : 0U};
    if (!building_) {
      frame.first = static_cast<std::uint32_t>(counts_.size());
      counts_.push_back(0);
    } else {
      const std::uint32_t count = counts_[counted_++];
      if (object) {
        frame.first = membersUsed_;
        membersUsed_ += count;
        place(slot, JsonValue::ofObject({members_ + frame.first, count}));
      } else {
        frame.first = itemsUsed_;
        itemsUsed_ += count;
        place(slot, JsonValue::ofArray({items_ + frame.first, count}));
      }
    }
    stack_.push_back(frame);
    return true;
  }

  void closeTop() {
    const Frame top = stack_.back();
    stack_.pop_back();
    if (!building_) {
      counts_[top.first] = top.children;
      (top.object ? membersTotal_ : itemsTotal_) += top.children;
    } else if (top.object) {
      const std::span<JsonMember> members(members_ + top.first, top.children);
      place(top.node, JsonValue::ofObject(members.first(keepLastOfEachName(members))));
    }
  }

  // Begins the next child of `top`: for an object its name and colon.
  bool child(Frame& top, JsonValue*& slot) {
    const std::uint32_t index = top.first + top.children;
    ++top.children;
    if (!top.object) {
      slot = building_ ? &items_[index] : nullptr;
      return true;
    }
    if (!space()) return false;
    if (!at('"')) return fail("a member name in double quotes");
    std::string_view name;
    if (!string(name)) return false;
    if (!space()) return false;
    if (!at(':')) return fail("':' after a member name");
    ++position_;
    slot = nullptr;
    if (building_) {
      members_[index].name = name;
      slot = &members_[index].value;
    }
    return true;
  }

  // Space, and comments where they are allowed.
  bool space() {
    for (;;) {
      while (position_ < text_.size()) {
        const char c = text_[position_];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        ++position_;
      }
      if (!options_.allowComments || !at('/') || position_ + 1 >= text_.size()) return true;
      if (text_[position_ + 1] == '/') {
        const std::size_t end = text_.find('\n', position_);
        position_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_[position_ + 1] == '*') {
        const std::size_t end = text_.find("*/", position_ + 2);
        if (end == std::string_view::npos) {
          position_ = text_.size();
          return fail("'*/' to end the comment");
        }
        position_ = end + 2;
      } else {
        return true;
      }
    }
  }

  bool scalar(JsonValue* slot) {
    if (atEnd()) return fail("a value");
    switch (text_[position_]) {
      case '"': {
        std::string_view text;
        if (!string(text)) return false;
        place(slot, JsonValue::ofString(text));
        return true;
      }
      case 't':
        place(slot, JsonValue::ofBool(true));
        return literal("true");
      case 'f':
        place(slot, JsonValue::ofBool(false));
        return literal("false");
      case 'n':
        place(slot, JsonValue{});
        return literal("null");
      default:
        return number(slot);
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(position_, word.size()) != word) return fail("a value");
    position_ += word.size();
    return true;
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  bool digits() {
    const std::size_t start = position_;
    while (position_ < text_.size() && isDigit(text_[position_])) ++position_;
    return position_ > start;
  }

  bool number(JsonValue* slot) {
    const std::size_t start = position_;
    if (at('-')) ++position_;
    if (at('0')) {
      ++position_;
    } else if (!digits()) {
      position_ = start;
      return fail("a value");
    }
    if (at('.')) {
      ++position_;
      if (!digits()) return fail("a digit after the decimal point");
    }
    if (at('e') || at('E')) {
      ++position_;
      if (at('+') || at('-')) ++position_;
      if (!digits()) return fail("a digit in the exponent");
    }
    const std::string_view written = text_.substr(start, position_ - start);
    if (options_.refuseOverflowingNumbers && overflows(written)) {
      position_ = start;
      return fail("a number no larger than a double holds");
    }
    std::size_t length = 0;
    appendBytes(written, length);
    if (building_) place(slot, JsonValue::ofNumber({chars_ + charsUsed_, length}));
    charsUsed_ += length;
    return true;
  }

  // Whether a well-formed JSON number is beyond a double's range: its
  // leading digit's power of ten decides, and near the edge the C
  // library's conversion (the doctor never changes the "C" locale).
  static bool overflows(std::string_view number) {
    const std::size_t e = number.find_first_of("eE");
    const std::string_view mantissa = number.substr(0, e);
    long long exponent = 0;
    if (e != std::string_view::npos) {
      std::size_t i = e + 1;
      const bool negative = number[i] == '-';
      if (number[i] == '+' || number[i] == '-') ++i;
      for (; i < number.size() && exponent < 1'000'000'000; ++i) {
        exponent = exponent * 10 + (number[i] - '0');
      }
      if (negative) exponent = -exponent;
    }
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t leading = mantissa.find_first_of("123456789");
    if (leading == std::string_view::npos) return false;  // zero
    const long long power =
        exponent + (leading < point ? static_cast<long long>(point - leading) - 1
                                    : -static_cast<long long>(leading - point));
    if (power != 308) return power > 308;
    std::string digits;
    for (std::size_t i = leading; i < mantissa.size() && digits.size() < 40; ++i) {
      if (mantissa[i] != '.') digits += mantissa[i];
    }
    const std::string normal = digits.substr(0, 1) + "." + digits.substr(1) + "e308";
    return std::isinf(std::strtod(normal.c_str(), nullptr));
  }

  void appendCode(std::uint32_t code, std::size_t& length) {
    char bytes[4];
    std::size_t size = 0;
    if (code < 0x80) {
      bytes[size++] = static_cast<char>(code);
    } else if (code < 0x800) {
      bytes[size++] = static_cast<char>(0xC0 | (code >> 6));
      bytes[size++] = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      bytes[size++] = static_cast<char>(0xE0 | (code >> 12));
      bytes[size++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | (code & 0x3F));
    } else {
      bytes[size++] = static_cast<char>(0xF0 | (code >> 18));
      bytes[size++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | (code & 0x3F));
    }
    appendBytes({bytes, size}, length);
  }

  // Adds decoded bytes to the string or number being read, `length` long so
  // far: placed in the second pass, only counted in the first.
  void appendBytes(std::string_view bytes, std::size_t& length) {
    if (building_ && !bytes.empty()) {
      std::memcpy(chars_ + charsUsed_ + length, bytes.data(), bytes.size());
    }
    length += bytes.size();
  }

  static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool hex(int count, std::uint32_t& out) {
    out = 0;
    for (int i = 0; i < count; ++i) {
      const int digit = position_ < text_.size() ? hexValue(text_[position_]) : -1;
      if (digit < 0) {
        return fail(count == 4 ? "four hexadecimal digits after \\u"
                               : "two hexadecimal digits after \\x");
      }
      out = out * 16 + static_cast<std::uint32_t>(digit);
      ++position_;
    }
    return true;
  }

  // After "\u": one code point, a surrogate pair joined.
  bool unicodeEscape(std::size_t& length) {
    const std::size_t start = position_ - 2;
    std::uint32_t code = 0;
    if (!hex(4, code)) return false;
    const bool high = code >= 0xD800 && code < 0xDC00;
    const bool low = code >= 0xDC00 && code < 0xE000;
    if (high && text_.substr(position_, 2) == "\\u") {
      const std::size_t back = position_;
      position_ += 2;
      std::uint32_t second = 0;
      if (hex(4, second) && second >= 0xDC00 && second < 0xE000) {
        appendCode(0x10000 + ((code - 0xD800) << 10) + (second - 0xDC00), length);
        return true;
      }
      position_ = back;
    }
    if (high || low) {
      if (!options_.allowLoneSurrogates) {
        position_ = start;
        return fail("no half of a surrogate pair alone");
      }
      appendBytes(kReplacement, length);
      return true;
    }
    appendCode(code, length);
    return true;
  }

  bool escape(std::size_t& length) {
    ++position_;  // the backslash
    const char c = atEnd() ? '\0' : text_[position_];
    ++position_;
    char plain = 0;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        plain = c;
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u':
        return unicodeEscape(length);
      case 'x':
        if (options_.allowXEscapes) {
          std::uint32_t code = 0;
          if (!hex(2, code)) return false;
          appendCode(code, length);
          return true;
        }
        [[fallthrough]];
      default:
        --position_;
        return fail("an escape sequence after '\\'");
    }
    appendBytes({&plain, 1}, length);
    return true;
  }

  // The length of the valid UTF-8 sequence at the position, or 0.
  std::size_t utf8Length() const {
    const auto byte = [&](std::size_t i) {
      return position_ + i < text_.size() ? static_cast<unsigned char>(text_[position_ + i]) : 0U;
    };
    const unsigned lead = byte(0);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
      if ((byte(i) & 0xC0) != 0x80) return 0;
      code = (code << 6) | (byte(i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
    return length;
  }

  // A string, from its opening quote; `out` is its decoded text in the
  // second pass.
  bool string(std::string_view& out) {
    ++position_;
    std::size_t length = 0;
    for (;;) {
      const std::size_t run = position_;
      while (position_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[position_]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++position_;
      }
      appendBytes(text_.substr(run, position_ - run), length);
      if (atEnd()) return fail("'\"' to end the string");
      const auto c = static_cast<unsigned char>(text_[position_]);
      if (c == '"') break;
      if (c == '\\') {
        if (!escape(length)) return false;
      } else if (c < 0x20) {
        if (!options_.allowNewlinesInStrings || (c != '\n' && c != '\r')) {
          return fail("no control character in a string");
        }
        appendBytes(text_.substr(position_++, 1), length);
      } else if (const std::size_t size = utf8Length(); size > 0) {
        appendBytes(text_.substr(position_, size), length);
        position_ += size;
      } else if (options_.requireUtf8) {
        return fail("valid UTF-8");
      } else {
        appendBytes(kReplacement, length);
        ++position_;
      }
    }
    ++position_;  // the closing quote
    if (building_) out = {chars_ + charsUsed_, length};
    charsUsed_ += length;
    return true;
  }

  std::string_view text_;
  JsonOptions options_;
  std::size_t position_ = 0;
  const char* expected_ = "";
  bool building_ = false;
  std::vector<Frame> stack_;
  // Each container's children, in the order they open; the second pass's
  // next one.
  std::deque<std::uint32_t> counts_;
  std::size_t counted_ = 0;
  // The first pass's totals (of characters: charsUsed_); the second
  // pass's blocks and how much of each it has placed.
  std::size_t itemsTotal_ = 0;
  std::size_t membersTotal_ = 0;
  JsonValue* items_ = nullptr;
  JsonMember* members_ = nullptr;
  char* chars_ = nullptr;
  std::uint32_t itemsUsed_ = 0;
  std::uint32_t membersUsed_ = 0;
  std::size_t charsUsed_ = 0;
};

}  // namespace

JsonReading readJson(std::string_view text, const JsonOptions& options) {
  return Reader(text, options).read();
}

}  // namespace ostrel::doctor
