// Browser frames on standard input. An arbitrary byte stream is written into
// a real pipe in pieces of arbitrary size, some of them announced by a signal
// that interrupts the blocked read, and readMessage must return exactly the
// frames that an independent decoding of the stream finds, in order. It must
// also never consume a byte beyond the frame it returns or the header it
// refuses: after a refused header, everything behind that header is still in
// the pipe.
//
// Input: the stream's bytes come from the front; the length limit, the piece
// sizes and the interrupt flags from the back.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "channel/frame.h"
#include "channel/std_streams.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A signal whose handler is installed without SA_RESTART, so that it makes a
// blocked read fail with EINTR.
int interruptSignal() { return SIGRTMIN; }

struct Piece {
  Bytes bytes;
  bool interrupt = false;  // signal the reader before writing the piece
};

// What an independent decoding of the whole stream expects.
struct Expected {
  std::vector<Bytes> payloads;
  Bytes unread;  // left in the pipe behind a refused header
};

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

Expected decode(const Bytes& stream, std::int64_t limit) {
  Expected expected;
  std::size_t at = 0;
  while (stream.size() - at >= 4) {
    const std::uint32_t length = littleEndian32(stream.data() + at);
    if (static_cast<std::int64_t>(length) > limit) {
      expected.unread.assign(stream.begin() + static_cast<std::ptrdiff_t>(at + 4), stream.end());
      break;
    }
    if (stream.size() - at - 4 < length) break;  // end of input inside the payload
    const auto begin = stream.begin() + static_cast<std::ptrdiff_t>(at + 4);
    expected.payloads.emplace_back(begin, begin + length);
    at += 4 + length;
  }
  return expected;
}

// Writes the pieces one after another, each only once the reader has taken
// all of the previous one, so that no read returns more than the rest of the
// current piece. Closes the pipe at the end.
void writePieces(int fd, const std::vector<Piece>& pieces, pthread_t reader,
                 const std::atomic<bool>& readerDone) {
  for (const Piece& piece : pieces) {
    if (piece.interrupt && !readerDone.load()) pthread_kill(reader, interruptSignal());
    if (!ostrel::writeAll(fd, piece.bytes)) break;  // the reader has closed its end
    for (;;) {
      int pending = 0;
      if (readerDone.load() || ::ioctl(fd, FIONREAD, &pending) != 0 || pending == 0) break;
      std::this_thread::yield();
    }
  }
  ::close(fd);
}

Bytes readToEnd(int fd) {
  Bytes all;
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return all;
    all.insert(all.end(), chunk, chunk + n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART
  sigaction(interruptSignal(), &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::uint8_t limitChoice = input.ConsumeIntegral<std::uint8_t>();
  const std::int64_t limit = limitChoice == 255 ? ostrel::kMaxMessageLength : limitChoice;

  std::vector<Piece> pieces;
  Bytes stream;
  while (input.remaining_bytes() > 0) {
    Piece piece;
    const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 512);
    piece.interrupt = input.ConsumeBool();
    piece.bytes = input.ConsumeBytes<std::uint8_t>(length);
    stream.insert(stream.end(), piece.bytes.begin(), piece.bytes.end());
    pieces.push_back(std::move(piece));
  }
  const Expected expected = decode(stream, limit);

  int ends[2];
  FUZZ_CHECK(::pipe2(ends, O_CLOEXEC) == 0);
  std::atomic<bool> readerDone{false};
  std::thread writer(writePieces, ends[1], std::cref(pieces), pthread_self(),
                     std::cref(readerDone));

  std::size_t next = 0;
  while (std::optional<ostrel::Payload> payload = ostrel::readMessage(ends[0], limit)) {
    FUZZ_CHECK(next < expected.payloads.size());
    const Bytes& want = expected.payloads[next];
    FUZZ_CHECK(Bytes(payload->bytes().begin(), payload->bytes().end()) == want);
    ++next;
  }
  FUZZ_CHECK(next == expected.payloads.size());
  readerDone.store(true);
  FUZZ_CHECK(readToEnd(ends[0]) == expected.unread);

  ::close(ends[0]);
  writer.join();
  return 0;
}
