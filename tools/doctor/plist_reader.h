#ifndef OSTREL_DOCTOR_PLIST_READER_H_
#define OSTREL_DOCTOR_PLIST_READER_H_

// Reads a property list in XML form (as a configuration profile leaves a
// managed preferences file) into the JSON reader's tree: dict, array,
// string, integer, real, true/false, date and data (a date and data as
// strings, as written). A binary property list is named as such rather
// than read. A dict keeps each key once, with the value it was last given.
// Nesting is bounded and nothing throws.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json_value.h"

namespace ostrel::doctor {

struct PlistReading {
  std::optional<JsonValue> value;
  std::string error;  // when value is empty
  // What value points into.
  std::shared_ptr<const JsonStorage> storage;
};

PlistReading readPlist(std::string_view bytes);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_PLIST_READER_H_
