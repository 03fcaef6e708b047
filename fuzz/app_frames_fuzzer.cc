// The application side's reassembly buffer, driven the way the socket reader
// drives it: arbitrary bytes arrive in reads of arbitrary size (at most 64
// KiB each, the most the reader asks for), over one or more connections.
// Checks, against an independent decoding of each connection's bytes:
//   - the run of complete frames taken off the front after each read is
//     exactly the next frames of the input, whole and unchanged, in order;
//   - a header over the limit is refused exactly where the decoding refuses
//     it, and only there;
//   - what stays buffered is exactly the undecoded rest, never more than
//     limit + 3 bytes between reads, nor limit + 3 + 64 KiB during one.
//
// Input: the bytes read come from the front; the limit, the read sizes and
// the ends of connections from the back.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "channel/frame.h"
#include "fuzz_check.h"
#include "relay/incoming_frames.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ostrel::IncomingFrames;

// As much as the socket reader asks read() for at once.
constexpr std::size_t kReadChunk = 65536;

// Everything one connection has delivered, and where its next frame starts.
struct Connection {
  Bytes received;
  std::size_t next = 0;

  std::size_t undecoded() const { return received.size() - next; }
  std::uint32_t declaredLength() const {
    const std::uint8_t* header = received.data() + next;
    return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
           static_cast<std::uint32_t>(header[2]) << 16 |
           static_cast<std::uint32_t>(header[3]) << 24;
  }
};

// Takes every complete frame off `incoming`, as the reader does after each
// read: the whole run of them, in one piece. False when a refused header
// ended the connection.
bool takeFrames(IncomingFrames& incoming, Connection& connection, std::int64_t limit) {
  FUZZ_CHECK(incoming.size() == connection.undecoded());
  const IncomingFrames::CompleteRun run = incoming.completeFrames(limit);
  const std::size_t first = connection.next;
  bool refused = false;
  while (connection.undecoded() >= 4) {
    const std::uint32_t length = connection.declaredLength();
    if (static_cast<std::int64_t>(length) > limit) {
      refused = true;
      break;
    }
    if (connection.undecoded() - 4 < length) break;
    connection.next += 4 + length;
  }
  FUZZ_CHECK(run.frames.size() == connection.next - first);
  FUZZ_CHECK(std::equal(run.frames.begin(), run.frames.end(),
                        connection.received.begin() + static_cast<std::ptrdiff_t>(first)));
  FUZZ_CHECK(run.next ==
             (refused ? IncomingFrames::Status::kTooLong : IncomingFrames::Status::kIncomplete));
  incoming.consume(run.frames.size());
  FUZZ_CHECK(incoming.size() == connection.undecoded());
  return !refused;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::uint8_t limitChoice = input.ConsumeIntegral<std::uint8_t>();
  const std::int64_t limit = limitChoice == 255 ? ostrel::kMaxMessageLength : limitChoice;
  const auto bound = static_cast<std::size_t>(limit) + 3;

  IncomingFrames incoming;
  Connection connection;
  while (input.remaining_bytes() > 0) {
    if (input.ConsumeIntegralInRange<int>(0, 15) == 0) {
      incoming.clear();  // end of stream: a partial frame is discarded
      FUZZ_CHECK(incoming.empty());
      connection = {};
      continue;
    }
    const std::size_t want = input.ConsumeBool()
                                 ? input.ConsumeIntegralInRange<std::size_t>(1, 16)
                                 : input.ConsumeIntegralInRange<std::size_t>(1, kReadChunk);
    const Bytes bytes = input.ConsumeBytes<std::uint8_t>(want);
    if (bytes.empty()) break;

    const std::span<std::uint8_t> space = incoming.tail(kReadChunk);
    FUZZ_CHECK(space.size() == kReadChunk);
    std::memcpy(space.data(), bytes.data(), bytes.size());
    incoming.commit(bytes.size());
    connection.received.insert(connection.received.end(), bytes.begin(), bytes.end());
    FUZZ_CHECK(incoming.size() <= bound + kReadChunk);

    if (!takeFrames(incoming, connection, limit)) {
      incoming.clear();  // the reader drops the connection and everything after the header
      FUZZ_CHECK(incoming.empty());
      connection = {};
    }
    FUZZ_CHECK(incoming.size() <= bound);
  }
  return 0;
}
