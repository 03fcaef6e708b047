#include "plist_reader.h"

namespace ostrel::doctor {
namespace {

constexpr int kMaxDepth = 200;

class PlistParser {
 public:
  explicit PlistParser(std::string_view text) : text_(text) {}

  PlistReading read() {
    if (text_.starts_with("bplist")) {
      return {std::nullopt,
              "a binary property list, which this tool does not read; see it with: plutil "
              "-convert xml1 -o - FILE"};
    }
    const std::size_t start = text_.find("<plist");
    if (start == std::string_view::npos) return {std::nullopt, "not a property list"};
    position_ = text_.find('>', start);
    if (position_ == std::string_view::npos) return {std::nullopt, "not a property list"};
    ++position_;
    JsonValue root;
    if (!element(root, 0)) return {std::nullopt, "a property list that is not well formed"};
    return {std::move(root), {}};
  }

 private:
  // The next tag's name ("dict", "/dict", "true/"), leaving the position
  // after it; empty at the end or on text outside a tag.
  std::string nextTag() {
    while (position_ < text_.size()) {
      const std::size_t open = text_.find('<', position_);
      if (open == std::string_view::npos) return {};
      const std::size_t close = text_.find('>', open);
      if (close == std::string_view::npos) return {};
      position_ = close + 1;
      std::string_view tag = text_.substr(open + 1, close - open - 1);
      if (tag.starts_with('!') || tag.starts_with('?')) continue;  // comments, doctype
      if (const std::size_t space = tag.find(' '); space != std::string_view::npos) {
        tag = tag.substr(0, space);
      }
      return std::string(tag);
    }
    return {};
  }

  // The text up to "</name>", entities decoded.
  bool textUntil(std::string_view name, std::string& out) {
    const std::string end = "</" + std::string(name) + ">";
    const std::size_t at = text_.find(end, position_);
    if (at == std::string_view::npos) return false;
    std::string_view raw = text_.substr(position_, at - position_);
    position_ = at + end.size();
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '&') {
        out += raw[i];
        continue;
      }
      const std::size_t semi = raw.find(';', i);
      if (semi == std::string_view::npos) return false;
      const std::string_view entity = raw.substr(i + 1, semi - i - 1);
      if (entity == "amp") {
        out += '&';
      } else if (entity == "lt") {
        out += '<';
      } else if (entity == "gt") {
        out += '>';
      } else if (entity == "quot") {
        out += '"';
      } else if (entity == "apos") {
        out += '\'';
      } else {
        return false;
      }
      i = semi;
    }
    return true;
  }

  bool element(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return false;
    return valueOf(nextTag(), out, depth);
  }

  bool valueOf(const std::string& tag, JsonValue& out, int depth) {
    if (tag == "dict") {
      out.type = JsonValue::Type::kObject;
      for (;;) {
        std::string next = nextTag();
        if (next == "/dict") return true;
        if (next != "key") return false;
        std::string key;
        if (!textUntil("key", key)) return false;
        JsonValue member;
        if (!element(member, depth + 1)) return false;
        out.members.push_back({std::move(key), std::move(member)});
      }
    }
    if (tag == "array") {
      out.type = JsonValue::Type::kArray;
      for (;;) {
        std::string next = nextTag();
        if (next == "/array") return true;
        if (next.empty()) return false;
        JsonValue item;
        if (!valueOf(next, item, depth + 1)) return false;
        out.items.push_back(std::move(item));
      }
    }
    if (tag == "dict/" || tag == "array/") {
      out.type = tag == "dict/" ? JsonValue::Type::kObject : JsonValue::Type::kArray;
      return true;
    }
    if (tag == "true/" || tag == "false/") {
      out.type = JsonValue::Type::kBool;
      out.boolean = tag == "true/";
      return true;
    }
    if (tag == "string/") {
      out.type = JsonValue::Type::kString;
      return true;
    }
    if (tag == "string" || tag == "integer" || tag == "real") {
      out.type = tag == "string" ? JsonValue::Type::kString : JsonValue::Type::kNumber;
      return textUntil(tag, out.text);
    }
    return false;
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace

PlistReading readPlist(std::string_view text) { return PlistParser(text).read(); }

}  // namespace ostrel::doctor
