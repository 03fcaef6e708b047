#include "host/classify.h"

#include <simdjson.h>

namespace ostrel {

static_assert(kPayloadPadding >= simdjson::SIMDJSON_PADDING,
              "payloads must carry the padding the parser reads ahead into");

std::optional<std::string> messageType(const Payload& payload) {
  static simdjson::dom::parser parser;
  simdjson::dom::object object;
  // The payload's own padding lets the parser work in place.
  if (parser.parse(payload.data(), payload.size(), false).get_object().get(object)) {
    return std::nullopt;
  }
  std::optional<std::string> type;
  for (const simdjson::dom::key_value_pair field : object) {
    if (field.key != "type") continue;
    std::string_view value;
    if (field.value.get_string().get(value)) {
      type.reset();
    } else {
      type.emplace(value);
    }
  }
  return type;
}

}  // namespace ostrel
