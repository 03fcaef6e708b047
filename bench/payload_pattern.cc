#include "payload_pattern.h"

#include <cstring>
#include <string>

#include "channel/frame.h"

namespace ostrel::bench {

PayloadPattern::PayloadPattern(std::size_t size) : size_(size) {
  for (std::size_t variant = 0; variant < kVariants; ++variant) {
    std::string text = R"({"type":"bench","seq":000000000000,"fill":")";
    while (text.size() < size - 2) {
      text += static_cast<char>('a' + (text.size() * 7 + variant * 3) % 26);
    }
    text += "\"}";
    variants_.emplace_back(text.begin(), text.end());
  }
}

void PayloadPattern::writeFrame(std::uint64_t sequence, std::uint8_t* out) const {
  encodeFrameLength(static_cast<std::uint32_t>(size_),
                    std::span<std::uint8_t, kFrameHeaderSize>(out, kFrameHeaderSize));
  std::uint8_t* payload = out + kFrameHeaderSize;
  std::memcpy(payload, variants_[sequence % kVariants].data(), size_);
  for (std::size_t i = 0; i < kSequenceDigits; ++i) {
    payload[kSequenceAt + kSequenceDigits - 1 - i] = static_cast<std::uint8_t>('0' + sequence % 10);
    sequence /= 10;
  }
}

bool PayloadPattern::matches(std::uint64_t sequence, std::span<const std::uint8_t> payload) const {
  if (payload.size() != size_) return false;
  const std::vector<std::uint8_t>& expected = variants_[sequence % kVariants];
  for (std::size_t i = 0; i < kSequenceDigits; ++i) {
    if (payload[kSequenceAt + kSequenceDigits - 1 - i] != '0' + sequence % 10) return false;
    sequence /= 10;
  }
  return std::memcmp(payload.data(), expected.data(), kSequenceAt) == 0 &&
         std::memcmp(payload.data() + kSequenceAt + kSequenceDigits,
                     expected.data() + kSequenceAt + kSequenceDigits,
                     size_ - kSequenceAt - kSequenceDigits) == 0;
}

}  // namespace ostrel::bench
