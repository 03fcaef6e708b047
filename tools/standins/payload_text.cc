#include "payload_text.h"

#include <simdjson.h>

#include <algorithm>
#include <cstdio>

#include "tools/common/bytes.h"
#include "tools/common/printable_text.h"

namespace ostrel::standins {
namespace {

bool isControl(std::uint8_t byte) { return byte < 0x20 || byte == 0x7f; }

bool isTextual(std::span<const std::uint8_t> payload) {
  if (!simdjson::validate_utf8(reinterpret_cast<const char*>(payload.data()), payload.size())) {
    return false;
  }
  return std::ranges::none_of(payload, [](std::uint8_t byte) {
    return isControl(byte) && byte != '\n' && byte != '\r' && byte != '\t';
  });
}

// The largest cut at or below `limit` that does not split a UTF-8 character.
std::size_t textCut(std::span<const std::uint8_t> payload, std::size_t limit) {
  if (limit == 0 || payload.size() <= limit) return payload.size();
  std::size_t cut = limit;
  while (cut > 0 && (payload[cut] & 0xC0) == 0x80) --cut;
  return cut;
}

std::string hexText(std::span<const std::uint8_t> bytes) {
  std::string out;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x", bytes[i]);
    out += pair;
  }
  return out;
}

std::string omitted(std::size_t count) {
  return count == 0 ? "" : " … (+" + std::to_string(count) + " bytes)";
}

}  // namespace

bool isJson(std::string_view text) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  return parser.parse(padded).error() == simdjson::SUCCESS;
}

PayloadKind classifyPayload(std::span<const std::uint8_t> payload) {
  if (!isTextual(payload)) return PayloadKind::kBinary;
  std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  return isJson(text) ? PayloadKind::kJson : PayloadKind::kText;
}

std::string describePayload(std::span<const std::uint8_t> payload, std::size_t limit) {
  if (payload.empty()) return "(empty)";
  const PayloadKind kind = classifyPayload(payload);
  if (kind != PayloadKind::kBinary) {
    const std::size_t cut = textCut(payload, limit);
    std::string out =
        common::printableText(common::asText(payload.first(cut))) + omitted(payload.size() - cut);
    if (kind == PayloadKind::kText) out += "  (not JSON)";
    return out;
  }
  const std::size_t shown = limit == 0 ? payload.size() : std::min(payload.size(), limit / 4);
  return "hex: " + hexText(payload.first(shown)) + omitted(payload.size() - shown);
}

}  // namespace ostrel::standins
