#include "tools/common/bytes.h"

namespace ostrel::common {

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

Bytes frameOf(std::string_view payload) { return frameOf(asBytes(payload)); }

Bytes frameOf(std::span<const std::uint8_t> payload) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  Bytes frame;
  frame.reserve(kHeaderBytes + payload.size());
  for (std::size_t shift = 0; shift < 32; shift += 8) {
    frame.push_back(static_cast<std::uint8_t>(length >> shift));
  }
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::uint32_t lengthOf(std::span<const std::uint8_t, kHeaderBytes> header) {
  return std::uint32_t{header[0]} | std::uint32_t{header[1]} << 8 | std::uint32_t{header[2]} << 16 |
         std::uint32_t{header[3]} << 24;
}

}  // namespace ostrel::common
