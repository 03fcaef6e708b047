// libostrel-app's frame decoder, fed arbitrary bytes in pieces of arbitrary
// size (0 to 300 each). Checks, against an independent decoding of the
// whole stream:
//   - every frame it gives is the next frame of the stream, whole and
//     unchanged, in order, and encodes back to the same bytes;
//   - a header over 1 MiB is refused exactly where the decoding refuses it,
//     with nothing allocated for it, and every later call refuses too;
//   - it takes no byte past the end of a frame, and all bytes otherwise;
//   - it never holds more memory than the frame under way announced, but
//     for a buffer of at most 64 KiB kept from an earlier frame;
//   - it tells a partial frame from a boundary.
//
// Input: piece sizes come from the back, the bytes from the front.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "ostrel/app.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// What the decoder may keep from an earlier frame for the next.
constexpr std::size_t kKept = std::size_t{64} * 1024;

std::uint32_t lengthAt(const Bytes& stream, std::size_t at) {
  return static_cast<std::uint32_t>(stream[at]) | static_cast<std::uint32_t>(stream[at + 1]) << 8 |
         static_cast<std::uint32_t>(stream[at + 2]) << 16 |
         static_cast<std::uint32_t>(stream[at + 3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  Bytes stream;          // everything fed so far
  std::size_t next = 0;  // where the next undecoded frame starts in `stream`
  bool refused = false;
  ostrel_app_decoder decoder;
  ostrel_app_decoder_init(&decoder);
  while (provider.remaining_bytes() > 0) {
    const Bytes piece =
        provider.ConsumeBytes<std::uint8_t>(provider.ConsumeIntegralInRange<std::size_t>(0, 300));
    stream.insert(stream.end(), piece.begin(), piece.end());
    for (std::size_t at = 0; at < piece.size() || (piece.empty() && at == 0);) {
      std::size_t used = 99;
      const int found =
          ostrel_app_decoder_feed(&decoder, piece.data() + at, piece.size() - at, &used);
      FUZZ_CHECK(used <= piece.size() - at);
      at += used;
      const std::size_t undecoded = stream.size() - (piece.size() - at) - next;
      if (refused) {
        FUZZ_CHECK(found == OSTREL_APP_TOO_LONG && used == 0);
        break;
      }
      const bool headerComplete = undecoded >= OSTREL_APP_HEADER_BYTES;
      const std::uint32_t length = headerComplete ? lengthAt(stream, next) : 0;
      if (headerComplete && length > OSTREL_APP_MAX_PAYLOAD) {
        FUZZ_CHECK(found == OSTREL_APP_TOO_LONG);
        FUZZ_CHECK(undecoded == OSTREL_APP_HEADER_BYTES);  // nothing past the header taken
        FUZZ_CHECK(decoder.capacity <= kKept);
        refused = true;
        break;
      }
      FUZZ_CHECK(found == OSTREL_APP_FRAME || found == OSTREL_APP_NEED_MORE);
      if (found == OSTREL_APP_FRAME) {
        FUZZ_CHECK(headerComplete && undecoded == OSTREL_APP_HEADER_BYTES + length);
        FUZZ_CHECK(decoder.length == length && (length == 0 || decoder.payload != nullptr));
        FUZZ_CHECK(length == 0 ||
                   std::memcmp(decoder.payload, stream.data() + next + OSTREL_APP_HEADER_BYTES,
                               length) == 0);
        Bytes encoded(length + OSTREL_APP_HEADER_BYTES);
        FUZZ_CHECK(ostrel_app_encode_frame(decoder.payload, length, encoded.data(),
                                           encoded.size()) == static_cast<ssize_t>(encoded.size()));
        FUZZ_CHECK(std::memcmp(encoded.data(), stream.data() + next, encoded.size()) == 0);
        next += encoded.size();
        FUZZ_CHECK(!ostrel_app_decoder_partial(&decoder));
      } else {
        FUZZ_CHECK(at == piece.size());  // all taken while no frame is whole
        FUZZ_CHECK(undecoded < OSTREL_APP_HEADER_BYTES + static_cast<std::size_t>(length) ||
                   !headerComplete);
        FUZZ_CHECK(ostrel_app_decoder_partial(&decoder) == (undecoded > 0));
        FUZZ_CHECK(decoder.capacity <= std::max<std::size_t>(kKept, length));
      }
      if (piece.empty()) break;
    }
  }
  ostrel_app_decoder_free(&decoder);
  return 0;
}
