#include "json_value.h"

#include <bit>
#include <cstring>

namespace ostrel::doctor {
namespace {

// Up to this many members, names are compared pairwise; beyond, hashed.
constexpr std::size_t kPairwise = 16;

std::uint64_t hashOf(std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (const char c : name) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  return hash;
}

std::size_t keepPairwise(std::span<JsonMember> members) {
  std::size_t kept = 0;
  for (const JsonMember& member : members) {
    std::size_t first = 0;
    while (first < kept && members[first].name != member.name) ++first;
    if (first < kept) {
      members[first].value = member.value;
    } else {
      members[kept++] = member;
    }
  }
  return kept;
}

std::size_t keepHashed(std::span<JsonMember> members) {
  // Open addressing; a slot holds 1 + the place of a kept member.
  const std::size_t capacity = std::bit_ceil(members.size() * 2);
  std::vector<std::uint32_t> slots(capacity, 0);
  std::size_t kept = 0;
  for (JsonMember& member : members) {
    std::size_t slot = hashOf(member.name) & (capacity - 1);
    while (slots[slot] != 0 && members[slots[slot] - 1].name != member.name) {
      slot = (slot + 1) & (capacity - 1);
    }
    if (slots[slot] != 0) {
      members[slots[slot] - 1].value = member.value;
    } else {
      slots[slot] = static_cast<std::uint32_t>(kept + 1);
      members[kept++] = member;
    }
  }
  return kept;
}

}  // namespace

JsonValue JsonValue::ofBool(bool value) {
  JsonValue made;
  made.type = Type::kBool;
  made.boolean = value;
  return made;
}

JsonValue JsonValue::ofNumber(std::string_view text) {
  return made(Type::kNumber, text.size(), text.data());
}

JsonValue JsonValue::ofString(std::string_view text) {
  return made(Type::kString, text.size(), text.data());
}

JsonValue JsonValue::ofArray(std::span<const JsonValue> items) {
  return made(Type::kArray, items.size(), items.data());
}

JsonValue JsonValue::ofObject(std::span<const JsonMember> members) {
  return made(Type::kObject, members.size(), members.data());
}

JsonValue JsonValue::made(Type type, std::size_t size, const void* data) {
  JsonValue value;
  value.type = type;
  value.size_ = static_cast<std::uint32_t>(size);
  value.data_ = data;
  return value;
}

std::string_view JsonValue::text() const {
  if (type != Type::kString && type != Type::kNumber) return {};
  return {static_cast<const char*>(data_), size_};
}

std::span<const JsonValue> JsonValue::items() const {
  if (type != Type::kArray) return {};
  return {static_cast<const JsonValue*>(data_), size_};
}

std::span<const JsonMember> JsonValue::members() const {
  if (type != Type::kObject) return {};
  return {static_cast<const JsonMember*>(data_), size_};
}

const JsonValue* JsonValue::find(std::string_view name) const {
  for (const JsonMember& member : members()) {
    if (member.name == name) return &member.value;
  }
  return nullptr;
}

std::size_t keepLastOfEachName(std::span<JsonMember> members) {
  return members.size() <= kPairwise ? keepPairwise(members) : keepHashed(members);
}

template <typename T>
T* JsonStorage::Pool<T>::take(std::size_t count) {
  if (count == 0) return nullptr;
  if (count > left_) {
    if (count > kBlock) {
      // A large block of its own; the current one keeps serving small ones.
      return blocks_.emplace_back(std::make_unique_for_overwrite<T[]>(count)).get();
    }
    reserve(kBlock);
  }
  T* const taken = next_;
  next_ += count;
  left_ -= count;
  return taken;
}

template <typename T>
void JsonStorage::Pool<T>::reserve(std::size_t count) {
  if (count == 0) return;
  next_ = blocks_.emplace_back(std::make_unique_for_overwrite<T[]>(count)).get();
  left_ = count;
}

JsonValue* JsonStorage::values(std::size_t count) { return values_.take(count); }

JsonMember* JsonStorage::members(std::size_t count) { return members_.take(count); }

char* JsonStorage::chars(std::size_t count) { return chars_.take(count); }

std::string_view JsonStorage::keep(std::string_view text) {
  char* const copy = chars(text.size());
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  return {copy, text.size()};
}

void JsonStorage::reserve(std::size_t values, std::size_t members, std::size_t chars) {
  values_.reserve(values);
  members_.reserve(members);
  chars_.reserve(chars);
}

}  // namespace ostrel::doctor
