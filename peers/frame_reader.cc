#include "peers/frame_reader.h"

#include <unistd.h>

#include <cerrno>

namespace ostrel::peers {

namespace {
constexpr std::size_t kReadSize = std::size_t{256} * 1024;
}  // namespace

std::optional<std::span<const std::uint8_t>> FrameReader::next() {
  for (;;) {
    if (auto payload = frames_.next()) return payload;
    if (frames_.broken()) return std::nullopt;
    const std::span<std::uint8_t> room = frames_.room(kReadSize);
    const ssize_t n = ::read(fd_, room.data(), room.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      frames_.end();
      return std::nullopt;
    }
    frames_.commit(static_cast<std::size_t>(n));
  }
}

}  // namespace ostrel::peers
