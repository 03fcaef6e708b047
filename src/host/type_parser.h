#ifndef OSTREL_HOST_TYPE_PARSER_H_
#define OSTREL_HOST_TYPE_PARSER_H_

// The interface of the JSON parser module. The parser lives in a module of
// its own (libostrel-type-parser), loaded when the first browser message
// arrives rather than at start-up: the JSON library and the C++ runtime it
// needs take longer to load than the rest of the host needs to report its
// first status. The interface is plain C so that the module's runtime and
// the host's never meet.

#include <stddef.h>
#include <stdint.h>

extern "C" {

// Finds the string value of the "type" member of the JSON object in
// `payload` (`size` bytes, followed by at least 64 readable bytes of
// padding). The whole text is validated, UTF-8 included; escapes are
// decoded; when "type" occurs more than once, the last occurrence counts.
// Returns 1 and points `type` at the decoded value (valid until the next
// call) when there is such a string; 0 when the payload is not valid JSON,
// not an object, or has no string "type". Not thread-safe. Like nesting
// deeper than 1024 levels, a number beyond the parser's range (an integer
// that needs more than 64 bits, or a magnitude a double cannot hold, such
// as 1e400) counts as a parse failure.
int ostrel_message_type(const uint8_t* payload, size_t size, const char** type, size_t* typeLength);

using OstrelMessageTypeFunction = int (*)(const uint8_t*, size_t, const char**, size_t*);
}

#define OSTREL_MESSAGE_TYPE_SYMBOL "ostrel_message_type"

#endif  // OSTREL_HOST_TYPE_PARSER_H_
