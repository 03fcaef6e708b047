#include "plist_reader.h"

#include <algorithm>
#include <vector>

#include "binary_plist.h"

namespace ostrel::doctor {
namespace {

constexpr int kMaxDepth = 200;

// The XML form: one element after <plist ...>, read by its tags.
class XmlPlist {
 public:
  explicit XmlPlist(std::string_view text) : text_(text) {}

  PlistReading read() {
    const std::size_t start = text_.find("<plist");
    if (start == std::string_view::npos) return {std::nullopt, "not a property list", nullptr};
    position_ = text_.find('>', start);
    if (position_ == std::string_view::npos) {
      return {std::nullopt, "not a property list", nullptr};
    }
    ++position_;
    JsonValue root;
    if (!element(root, 0)) {
      return {std::nullopt, "a property list that is not well formed", nullptr};
    }
    return {root, {}, storage_};
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

  bool dict(JsonValue& out, int depth) {
    std::vector<JsonMember> members;
    for (;;) {
      const std::string next = nextTag();
      if (next == "/dict") break;
      std::string key;
      JsonValue member;
      if (next != "key" || !textUntil("key", key) || !element(member, depth + 1)) return false;
      members.push_back({storage_->keep(key), member});
    }
    const std::span<JsonMember> kept(storage_->members(members.size()), members.size());
    std::copy(members.begin(), members.end(), kept.begin());
    out = JsonValue::ofObject(kept.first(keepLastOfEachName(kept)));
    return true;
  }

  bool array(JsonValue& out, int depth) {
    std::vector<JsonValue> items;
    for (;;) {
      const std::string next = nextTag();
      if (next == "/array") break;
      if (next.empty() || !valueOf(next, items.emplace_back(), depth + 1)) return false;
    }
    JsonValue* const kept = storage_->values(items.size());
    std::copy(items.begin(), items.end(), kept);
    out = JsonValue::ofArray({kept, items.size()});
    return true;
  }

  bool valueOf(const std::string& tag, JsonValue& out, int depth) {
    if (tag == "dict") return dict(out, depth);
    if (tag == "array") return array(out, depth);
    if (tag == "dict/" || tag == "array/") {
      out = tag == "dict/" ? JsonValue::ofObject({}) : JsonValue::ofArray({});
      return true;
    }
    if (tag == "true/" || tag == "false/") {
      out = JsonValue::ofBool(tag == "true/");
      return true;
    }
    if (tag == "string/" || tag == "data/") {
      out = JsonValue::ofString({});
      return true;
    }
    if (tag == "string" || tag == "integer" || tag == "real" || tag == "date" || tag == "data") {
      std::string text;
      if (!textUntil(tag, text)) return false;
      if (tag == "data") std::erase_if(text, [](char c) { return c <= ' '; });
      const std::string_view kept = storage_->keep(text);
      const bool number = tag == "integer" || tag == "real";
      out = number ? JsonValue::ofNumber(kept) : JsonValue::ofString(kept);
      return true;
    }
    return false;
  }

  std::string_view text_;
  std::size_t position_ = 0;
  std::shared_ptr<JsonStorage> storage_ = std::make_shared<JsonStorage>();
};

}  // namespace

PlistReading readPlist(std::string_view bytes) {
  if (bytes.starts_with("bplist")) return readBinaryPlist(bytes);
  return XmlPlist(bytes).read();
}

}  // namespace ostrel::doctor
