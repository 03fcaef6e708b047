#ifndef OSTREL_HOST_CLASSIFY_H_
#define OSTREL_HOST_CLASSIFY_H_

// Finding a browser message's type: the string value of the "type" member of
// a payload that is a JSON object. The whole text is validated, UTF-8
// included. Escapes are decoded before the value is returned, and when
// "type" occurs more than once the last occurrence counts. Not thread-safe:
// the browser loop alone classifies.
//
// Only four types change what the host does with a message: "hello",
// "focus", "blur" and "open_app". actedOnType() finds those alone, and
// parses no payload that cannot carry one of them.

#include <optional>
#include <string>
#include <string_view>

#include "channel/payload.h"

namespace ostrel {

// Nothing when the payload is not valid JSON (nesting deeper than 1024
// levels, and numbers beyond 64-bit integers or doubles, are past the
// parser's limits and count as invalid), not an object, or has no string
// "type".
std::optional<std::string> messageType(const Payload& payload);

// The message's type when it is one of the four the host acts on, as
// messageType() finds it; nothing for every other message, whatever its
// type. A payload for which mayHaveActedOnType() is false is not parsed.
std::optional<std::string_view> actedOnType(const Payload& payload);

// False only when the payload cannot have one of the four types: none of
// them occurs in it as a whole string, quotes included ("hello"), nor with
// a backslash where one of its letters is ("hel\u006co": "\u" is the only
// escape that can spell a letter). Passes over the text between quotes at
// memchr()'s speed, and allocates nothing.
bool mayHaveActedOnType(const Payload& payload);

}  // namespace ostrel

#endif  // OSTREL_HOST_CLASSIFY_H_
