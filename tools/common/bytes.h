#ifndef OSTREL_TOOLS_COMMON_BYTES_H_
#define OSTREL_TOOLS_COMMON_BYTES_H_

// Bytes as the host's peers handle them: payloads held in vectors, text seen as
// bytes and back, and whole frames built from a payload. Nothing here does
// any input or output.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::common {

using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> asBytes(std::string_view text);
std::string_view asText(std::span<const std::uint8_t> bytes);

Bytes bytesOf(std::string_view text);
std::string textOf(const Bytes& bytes);
// The text of a frame that was read, or "<no frame>" when none came.
std::string textOf(const std::optional<Bytes>& bytes);

// Frames as the host's peers see them, written and read here without the
// host's own code: what the tests judge the host's frames with is a copy of
// its own, so that a fault in the host's framing cannot hide in both.
inline constexpr std::size_t kHeaderBytes = 4;
inline constexpr std::uint32_t kLargestPayload = 1048576;  // 1 MiB, both ways

// The frame of `payload`: its 4-byte little-endian length, then the bytes.
Bytes frameOf(std::string_view payload);
Bytes frameOf(std::span<const std::uint8_t> payload);

// The payload length that a frame header announces.
std::uint32_t lengthOf(std::span<const std::uint8_t, kHeaderBytes> header);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_BYTES_H_
