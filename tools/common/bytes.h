#ifndef OSTREL_PEERS_BYTES_H_
#define OSTREL_PEERS_BYTES_H_

// Bytes as the peers handle them: payloads held in vectors, text seen as
// bytes and back, and whole frames built from a payload. Nothing here does
// any input or output.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::peers {

using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> asBytes(std::string_view text);
std::string_view asText(std::span<const std::uint8_t> bytes);

Bytes bytesOf(std::string_view text);
std::string textOf(const Bytes& bytes);
// The text of a frame that was read, or "<no frame>" when none came.
std::string textOf(const std::optional<Bytes>& bytes);

// The frame of `payload`: its 4-byte little-endian length, then the bytes.
Bytes frameOf(std::string_view payload);
Bytes frameOf(std::span<const std::uint8_t> payload);

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_BYTES_H_
