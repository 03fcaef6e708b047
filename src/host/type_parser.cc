// The JSON parser module: simdjson's DOM parser, which validates the whole
// text before anything is looked up.
#include "host/type_parser.h"

#include <simdjson.h>

#include <string_view>

static_assert(simdjson::SIMDJSON_PADDING <= 64, "payloads carry 64 bytes of padding");

extern "C" __attribute__((visibility("default"))) int ostrel_message_type(const uint8_t* payload,
                                                                          size_t size,
                                                                          const char** type,
                                                                          size_t* typeLength) {
  static simdjson::dom::parser parser;
  simdjson::dom::object object;
  // The payload's own padding lets the parser work in place, without a copy.
  if (parser.parse(payload, size, false).get_object().get(object)) return 0;
  bool found = false;
  for (const simdjson::dom::key_value_pair field : object) {
    if (field.key != "type") continue;
    std::string_view value;
    found = !field.value.get_string().get(value);
    if (found) {
      *type = value.data();
      *typeLength = value.size();
    }
  }
  return found ? 1 : 0;
}
