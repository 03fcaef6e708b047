#include "json_reader.h"

#include <cstdint>
#include <unordered_map>

namespace ostrel::doctor {
namespace {

// Chromium refuses JSON nested deeper than this; so does this reader.
constexpr int kMaxDepth = 200;

class Reader {
 public:
  Reader(std::string_view text, JsonOptions options) : text_(text), options_(options) {}

  JsonReading read() {
    if (text_.starts_with("\xEF\xBB\xBF")) position_ = 3;
    JsonValue root;
    if (!value(root, 0)) return failure();
    skipSpace();
    if (position_ != text_.size()) {
      expected_ = "the end of the text";
      return failure();
    }
    return JsonReading{.value = std::move(root), .error = {}, .line = 0, .column = 0};
  }

 private:
  JsonReading failure() const {
    int line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < position_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        lineStart = i + 1;
      }
    }
    const int column = static_cast<int>(position_ - lineStart + 1);
    return JsonReading{.value = std::nullopt,
                       .error = "expected " + expected_ + " at line " + std::to_string(line) +
                                ", column " + std::to_string(column),
                       .line = line,
                       .column = column};
  }

  bool fail(const char* expected) {
    expected_ = expected;
    return false;
  }

  void skipSpace() {
    while (position_ < text_.size()) {
      const char c = text_[position_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++position_;
    }
  }

  bool at(char c) const { return position_ < text_.size() && text_[position_] == c; }

  bool literal(std::string_view word) {
    if (text_.substr(position_, word.size()) != word) return fail("a value");
    position_ += word.size();
    return true;
  }

  bool value(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return fail("less nesting");
    skipSpace();
    if (position_ >= text_.size()) return fail("a value");
    switch (text_[position_]) {
      case '{':
        return object(out, depth);
      case '[':
        return array(out, depth);
      case '"':
        out.type = JsonValue::Type::kString;
        return string(out.text);
      case 't':
        out.type = JsonValue::Type::kBool;
        out.boolean = true;
        return literal("true");
      case 'f':
        out.type = JsonValue::Type::kBool;
        return literal("false");
      case 'n':
        return literal("null");
      default:
        out.type = JsonValue::Type::kNumber;
        return number(out.text);
    }
  }

  bool object(JsonValue& out, int depth) {
    out.type = JsonValue::Type::kObject;
    std::unordered_map<std::string, std::size_t> index;  // member name to its place
    ++position_;
    skipSpace();
    if (at('}')) {
      ++position_;
      return true;
    }
    for (;;) {
      skipSpace();
      if (options_.allowTrailingCommas && !out.members.empty() && at('}')) {
        ++position_;
        return true;
      }
      std::string name;
      if (!at('"')) return fail("a member name in double quotes");
      if (!string(name)) return false;
      skipSpace();
      if (!at(':')) return fail("':' after a member name");
      ++position_;
      JsonValue member;
      if (!value(member, depth + 1)) return false;
      if (auto known = index.find(name); known != index.end()) {
        out.members[known->second].value = std::move(member);
      } else {
        index.emplace(name, out.members.size());
        out.members.push_back({std::move(name), std::move(member)});
      }
      skipSpace();
      if (at('}')) {
        ++position_;
        return true;
      }
      if (!at(',')) return fail("',' or '}' after a member");
      ++position_;
    }
  }

  bool array(JsonValue& out, int depth) {
    out.type = JsonValue::Type::kArray;
    ++position_;
    skipSpace();
    if (at(']')) {
      ++position_;
      return true;
    }
    for (;;) {
      skipSpace();
      if (options_.allowTrailingCommas && !out.items.empty() && at(']')) {
        ++position_;
        return true;
      }
      JsonValue item;
      if (!value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      skipSpace();
      if (at(']')) {
        ++position_;
        return true;
      }
      if (!at(',')) return fail("',' or ']' after a list item");
      ++position_;
    }
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  bool digits() {
    const std::size_t start = position_;
    while (position_ < text_.size() && isDigit(text_[position_])) ++position_;
    return position_ > start;
  }

  bool number(std::string& out) {
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
    out.assign(text_.substr(start, position_ - start));
    return true;
  }

  static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool hex4(std::uint32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = position_ < text_.size() ? hexValue(text_[position_]) : -1;
      if (digit < 0) return fail("four hexadecimal digits after \\u");
      out = out * 16 + static_cast<std::uint32_t>(digit);
      ++position_;
    }
    return true;
  }

  static void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool escape(std::string& out) {
    const char c = position_ < text_.size() ? text_[position_] : '\0';
    ++position_;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += c;
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u': {
        std::uint32_t code = 0;
        if (!hex4(code)) return false;
        if (code >= 0xD800 && code < 0xDC00 && text_.substr(position_, 2) == "\\u") {
          const std::size_t back = position_;
          position_ += 2;
          std::uint32_t low = 0;
          if (hex4(low) && low >= 0xDC00 && low < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else {
            position_ = back;
          }
        }
        appendUtf8(out, code);
        return true;
      }
      default:
        --position_;
        return fail("an escape sequence after '\\'");
    }
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

  bool string(std::string& out) {
    ++position_;  // the opening quote
    for (;;) {
      if (position_ >= text_.size()) return fail("'\"' to end the string");
      const char c = text_[position_];
      if (c == '"') {
        ++position_;
        return true;
      }
      if (c == '\\') {
        ++position_;
        if (!escape(out)) return false;
        continue;
      }
      if (static_cast<unsigned char>(c) < 0x20) return fail("no control character in a string");
      if (static_cast<unsigned char>(c) < 0x80 || !options_.requireUtf8) {
        out += c;
        ++position_;
        continue;
      }
      const std::size_t length = utf8Length();
      if (length == 0) return fail("valid UTF-8");
      out.append(text_.substr(position_, length));
      position_ += length;
    }
  }

  std::string_view text_;
  JsonOptions options_;
  std::size_t position_ = 0;
  std::string expected_;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view name) const {
  if (type != Type::kObject) return nullptr;
  for (const auto& [known, value] : members) {
    if (known == name) return &value;
  }
  return nullptr;
}

JsonReading readJson(std::string_view text, JsonOptions options) {
  return Reader(text, options).read();
}

}  // namespace ostrel::doctor
