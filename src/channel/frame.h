#ifndef OSTREL_CHANNEL_FRAME_H_
#define OSTREL_CHANNEL_FRAME_H_

// The frame format shared by all four streams (standard input, standard
// output, and both directions of the application socket):
//
//   offset 0, 4 bytes: payload length, unsigned 32-bit, little-endian
//   offset 4, length bytes: the payload
//
// Frames follow one another with nothing between them. A length of 0 is a
// valid frame. Readers refuse lengths above kMaxMessageLength.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel {

inline constexpr std::size_t kFrameHeaderSize = 4;

// The largest payload accepted from either peer: 1 MiB. Exactly this many
// bytes are accepted; one more is refused.
inline constexpr std::int64_t kMaxMessageLength = 1048576;

// Decodes the length field of a frame header (least significant byte first).
std::uint32_t decodeFrameLength(std::span<const std::uint8_t, kFrameHeaderSize> header);

// Writes the length field for a payload of `length` bytes into `header`.
void encodeFrameLength(std::uint32_t length, std::span<std::uint8_t, kFrameHeaderSize> header);

// A new buffer holding the 4-byte length followed by a copy of `payload`, so
// that a frame normally leaves in a single write call. The payload must not
// exceed 4294967295 bytes; every caller passes at most kMaxMessageLength.
std::vector<std::uint8_t> frameMessage(std::span<const std::uint8_t> payload);

}  // namespace ostrel

#endif  // OSTREL_CHANNEL_FRAME_H_
