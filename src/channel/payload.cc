#include "channel/payload.h"

#include <cstring>

#include "channel/frame.h"

namespace ostrel {

Payload::Payload(std::size_t size)
    : storage_(
          std::make_unique_for_overwrite<std::uint8_t[]>(kHeaderRoom + size + kPayloadPadding)),
      size_(size) {
  static_assert(kHeaderRoom == kFrameHeaderSize);
  encodeFrameLength(static_cast<std::uint32_t>(size),
                    std::span<std::uint8_t, kFrameHeaderSize>(storage_.get(), kFrameHeaderSize));
  std::memset(data() + size, 0, kPayloadPadding);
}

Payload Payload::copyOf(std::span<const std::uint8_t> bytes) {
  Payload payload(bytes.size());
  if (!bytes.empty()) std::memcpy(payload.data(), bytes.data(), bytes.size());
  return payload;
}

Payload Payload::copyOf(std::string_view text) {
  return copyOf(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace ostrel
