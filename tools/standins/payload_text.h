#ifndef OSTREL_TOOLS_STANDINS_PAYLOAD_TEXT_H_
#define OSTREL_TOOLS_STANDINS_PAYLOAD_TEXT_H_

// Turns a frame's payload into one readable line for a terminal:
//   - JSON is shown as its text, made printable by the tools' one rule
//     (tools/common/printable_text.h): line ends, C1 controls and format
//     characters such as U+202E escaped, so the line stays one line and
//     reads in its own order;
//   - other UTF-8 text is shown the same way, marked "(not JSON)";
//   - anything else (bytes that are not UTF-8, or a C0 control other
//     than a line end, carriage return or tab) is shown as hex bytes,
//     marked "hex:";
//   - a payload longer than the limit is cut (never inside a UTF-8
//     character) and ends with "… (+N bytes)".
// It only describes; it never judges whether the payload is acceptable.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ostrel::standins {

// How many payload bytes are shown before a payload is shortened. Hex shows
// at most a quarter as many bytes, since each takes three columns.
inline constexpr std::size_t kDefaultShownBytes = 160;

enum class PayloadKind { kJson, kText, kBinary };

PayloadKind classifyPayload(std::span<const std::uint8_t> payload);

// `limit` 0 means never shorten.
std::string describePayload(std::span<const std::uint8_t> payload,
                            std::size_t limit = kDefaultShownBytes);

// True when `text` is one complete JSON value.
bool isJson(std::string_view text);

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_PAYLOAD_TEXT_H_
