#ifndef OSTREL_DOCTOR_JSON_READER_H_
#define OSTREL_DOCTOR_JSON_READER_H_

// A strict JSON reader for the files the browsers read (host manifests,
// policy files), reading them as the browsers do: standard JSON only, a
// leading UTF-8 byte-order mark skipped, of a member named twice the last
// one kept. Where the text stops being JSON it says what was expected, at
// which line and column (both from 1), as the browsers log it. It builds a
// plain tree; nesting deeper than the browsers accept is refused, so no
// input can exhaust the stack. Nothing throws.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::doctor {

struct JsonMember;

struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  std::string text;  // a string's value, or a number as written
  std::vector<JsonValue> items;
  // Each name once, in the order first seen, with the value last given.
  std::vector<JsonMember> members;

  // The member `name` of an object; nullptr when absent or not an object.
  const JsonValue* find(std::string_view name) const;
  bool isString() const { return type == Type::kString; }
};

struct JsonMember {
  std::string name;
  JsonValue value;
};

struct JsonOptions {
  bool allowTrailingCommas = false;  // Chromium's policy files allow them
  bool requireUtf8 = true;           // Firefox decodes leniently instead
};

struct JsonReading {
  std::optional<JsonValue> value;
  // When value is empty: "expected ... at line L, column C", and where.
  std::string error;
  int line = 0;
  int column = 0;
};

JsonReading readJson(std::string_view text, JsonOptions options = {});

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_JSON_READER_H_
