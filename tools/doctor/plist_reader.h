#ifndef OSTREL_DOCTOR_PLIST_READER_H_
#define OSTREL_DOCTOR_PLIST_READER_H_

// Reads a property list in XML form (as a configuration profile leaves a
// managed preferences file) into the JSON reader's tree: dict, array,
// string, true/false, integer and real. A binary property list is named as
// such rather than read; `plutil -convert xml1` turns one into XML. Nesting
// is bounded and nothing throws.

#include <optional>
#include <string>
#include <string_view>

#include "json_reader.h"

namespace ostrel::doctor {

struct PlistReading {
  std::optional<JsonValue> value;
  std::string error;  // when value is empty
};

PlistReading readPlist(std::string_view text);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_PLIST_READER_H_
