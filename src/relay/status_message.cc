#include "relay/status_message.h"

#include <cstring>
#include <string_view>

namespace ostrel {

Payload statusMessage(bool connected) {
  constexpr std::string_view kOpening = R"({"type":"status","app":")";
  constexpr std::string_view kClosing = R"("})";
  const std::string_view word = connected ? "connected" : "unavailable";
  Payload payload(kOpening.size() + word.size() + kClosing.size());
  std::uint8_t* out = payload.data();
  for (std::string_view piece : {kOpening, word, kClosing}) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  }
  return payload;
}

}  // namespace ostrel
