// Classification with simdjson's DOM parser, which validates the whole text
// before anything is looked up.
#include "host/classify.h"

#include <simdjson.h>

#include <string_view>

namespace ostrel {

static_assert(simdjson::SIMDJSON_PADDING <= kPayloadPadding,
              "the parser reads past a payload into its padding");

std::optional<std::string> messageType(const Payload& payload) {
  static simdjson::dom::parser parser;
  simdjson::dom::object object;
  // The payload's own padding lets the parser work in place, without a copy.
  if (parser.parse(payload.data(), payload.size(), false).get_object().get(object)) {
    return std::nullopt;
  }
  std::optional<std::string> type;
  for (const simdjson::dom::key_value_pair field : object) {
    if (field.key != "type") continue;
    std::string_view value;
    if (field.value.get_string().get(value)) {
      type.reset();  // the last "type" counts, and this one is not a string
    } else {
      type.emplace(value);
    }
  }
  return type;
}

}  // namespace ostrel
