#include "peers/bytes.h"

#include "channel/frame.h"

namespace ostrel::peers {

std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view asText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

Bytes bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

std::string textOf(const Bytes& bytes) { return std::string(asText(bytes)); }

std::string textOf(const std::optional<Bytes>& bytes) {
  return bytes ? textOf(*bytes) : std::string("<no frame>");
}

Bytes frameOf(std::string_view payload) { return frameMessage(asBytes(payload)); }

Bytes frameOf(std::span<const std::uint8_t> payload) { return frameMessage(payload); }

}  // namespace ostrel::peers
