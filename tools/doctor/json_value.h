#ifndef OSTREL_DOCTOR_JSON_VALUE_H_
#define OSTREL_DOCTOR_JSON_VALUE_H_

// The tree the doctor's readers build from a JSON document or a property
// list, and the storage it lives in. A JsonValue is a 16-byte view, like
// std::string_view: its text, items and members point into the storage of
// the reading that made it, which the reading keeps alive (copies of the
// reading share it). Values are copied freely and never own anything.
//
// The storage hands out blocks of values, members and characters that
// never move once handed out; a reader that knows its totals beforehand
// asks for them at once and wastes nothing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace ostrel::doctor {

struct JsonMember;

class JsonValue {
 public:
  enum class Type : std::uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;

  static JsonValue ofBool(bool value);
  // `text` as written (JSON) or as the file gives it (a property list).
  static JsonValue ofNumber(std::string_view text);
  static JsonValue ofString(std::string_view text);
  static JsonValue ofArray(std::span<const JsonValue> items);
  // Members as given: a reader first keeps one of each name
  // (keepLastOfEachName).
  static JsonValue ofObject(std::span<const JsonMember> members);

  // A string's value or a number as written; empty for any other type.
  std::string_view text() const;
  // An array's items; empty for any other type.
  std::span<const JsonValue> items() const;
  // An object's members; empty for any other type.
  std::span<const JsonMember> members() const;
  // The member `name` of an object; nullptr when absent or not an object.
  const JsonValue* find(std::string_view name) const;
  bool isString() const { return type == Type::kString; }

 private:
  static JsonValue made(Type type, std::size_t size, const void* data);

  std::uint32_t size_ = 0;
  const void* data_ = nullptr;
};

struct JsonMember {
  std::string_view name;
  JsonValue value;
};

// Leaves each name once, where it came first, with the value it was last
// given, in `members`' first places; returns how many remain.
std::size_t keepLastOfEachName(std::span<JsonMember> members);

class JsonStorage {
 public:
  // Blocks of `count` (values and members default-constructed, characters
  // left unset) that stay where they are for the storage's life.
  JsonValue* values(std::size_t count);
  JsonMember* members(std::size_t count);
  char* chars(std::size_t count);
  // A copy of `text` held here.
  std::string_view keep(std::string_view text);
  // Makes the next blocks come from one allocation of exactly this many.
  void reserve(std::size_t values, std::size_t members, std::size_t chars);

 private:
  template <typename T>
  class Pool {
   public:
    T* take(std::size_t count);
    void reserve(std::size_t count);

   private:
    static constexpr std::size_t kBlock = 1024;
    std::vector<std::unique_ptr<T[]>> blocks_;
    T* next_ = nullptr;
    std::size_t left_ = 0;
  };
  Pool<JsonValue> values_;
  Pool<JsonMember> members_;
  Pool<char> chars_;
};

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_JSON_VALUE_H_
