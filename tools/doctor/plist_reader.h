#ifndef OSTREL_DOCTOR_PLIST_READER_H_
#define OSTREL_DOCTOR_PLIST_READER_H_

// Reads a property list, as a managed preferences file holds one, into the
// JSON reader's tree: the XML form (as a configuration profile may leave
// it) and the binary form ("bplist00", as the system usually writes it),
// told apart by their first bytes. Both hold dict, array, string, integer,
// real, true/false, date and data: a date becomes a string in the XML
// form's ISO 8601 ("2024-05-01T12:00:00Z"), data a string of its base64,
// as the XML form writes them. A dict keeps each key once, with the value
// it was last given. Nesting is bounded and nothing throws.

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
