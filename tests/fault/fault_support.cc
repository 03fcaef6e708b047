#include "fault_support.h"

namespace ostrel::tests {

Bytes patternPayload(std::uint32_t index, std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = index * 2654435761U + 1;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1664525U + 1013904223U;
    bytes[i] = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

}  // namespace ostrel::tests
