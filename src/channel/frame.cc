#include "channel/frame.h"

#include <cstring>

namespace ostrel {

std::uint32_t decodeFrameLength(std::span<const std::uint8_t, kFrameHeaderSize> header) {
  return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
         static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24;
}

void encodeFrameLength(std::uint32_t length, std::span<std::uint8_t, kFrameHeaderSize> header) {
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) {
    header[i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
}

std::vector<std::uint8_t> frameMessage(std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> frame(kFrameHeaderSize + payload.size());
  encodeFrameLength(static_cast<std::uint32_t>(payload.size()),
                    std::span<std::uint8_t, kFrameHeaderSize>(frame.data(), kFrameHeaderSize));
  if (!payload.empty()) {
    std::memcpy(frame.data() + kFrameHeaderSize, payload.data(), payload.size());
  }
  return frame;
}

}  // namespace ostrel
