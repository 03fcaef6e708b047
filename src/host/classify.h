#ifndef OSTREL_HOST_CLASSIFY_H_
#define OSTREL_HOST_CLASSIFY_H_

// Finding a browser message's type: the string value of the "type" member of
// a payload that is a JSON object. The whole text is validated, UTF-8
// included. Escapes are decoded before the value is returned, and when
// "type" occurs more than once the last occurrence counts. Not thread-safe:
// the browser loop alone classifies.

#include <optional>
#include <string>

#include "channel/payload.h"

namespace ostrel {

// Nothing when the payload is not valid JSON (nesting deeper than 1024
// levels, and numbers beyond 64-bit integers or doubles, are past the
// parser's limits and count as invalid), not an object, or has no string
// "type".
std::optional<std::string> messageType(const Payload& payload);

}  // namespace ostrel

#endif  // OSTREL_HOST_CLASSIFY_H_
