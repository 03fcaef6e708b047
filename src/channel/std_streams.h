#ifndef OSTREL_CHANNEL_STD_STREAMS_H_
#define OSTREL_CHANNEL_STD_STREAMS_H_

// Moving frames over raw descriptors: the browser's messages on standard
// input, frames to the browser on standard output, and whole-buffer writes
// to any descriptor (writeAll). No buffering layer, no read-ahead and
// no flush step: every call goes straight to read(2) or write(2), and a call
// interrupted by a signal (EINTR) is repeated. A descriptor handed over in
// non-blocking mode is left so; a call that would block (EAGAIN) waits in
// poll(2) until the descriptor is ready and goes on, so a frame is never
// cut short by it.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "channel/frame.h"
#include "channel/payload.h"

namespace ostrel {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;

// The payload of the next frame on `fd`, or nothing at end of input (also
// inside a frame), on a read error, or when the frame announces more than
// `maxMessageLength` bytes (its payload is then left unread). A length of 0
// yields an empty payload. Never asks read() for more than the rest of the
// current frame, so nothing of the next frame is consumed. Called only by
// the browser loop.
std::optional<Payload> readMessage(int fd = kStandardInput,
                                   std::int64_t maxMessageLength = kMaxMessageLength);

// Fills `buffer` completely from `fd`. False on end of input or a read error.
bool readExactly(int fd, std::span<std::uint8_t> buffer);

// Writes every byte of `bytes` to `fd`, continuing after partial writes.
// False when write fails (other than EINTR, or EAGAIN, which waits) or
// writes 0 bytes; the rest is then not written. An empty range returns true
// without calling write.
bool writeAll(int fd, std::span<const std::uint8_t> bytes);

// The same, for a caller that decides how to wait: whenever `fd` cannot
// take more (EAGAIN), `waitWritable` is called, and the write goes on when
// it returns true and gives up, returning false, when it returns false.
bool writeAll(int fd, std::span<const std::uint8_t> bytes,
              const std::function<bool()>& waitWritable);

// Frames `payload` and writes it to `fd` (standard output unless a test says
// otherwise) under the process-wide output lock, so frames written from
// different threads never interleave. The outcome is not reported.
// Lock order: callers may hold the relay's lock, never the reverse.
void writeMessage(std::span<const std::uint8_t> payload, int fd = kStandardOutput);

// Like writeMessage, for bytes that already form whole frames: one, or
// several side by side, which then leave in one write. Returns how many
// bytes went out: all of them, or fewer when a write failed (see writeAll),
// the frame there then cut short.
std::size_t writeFrame(std::span<const std::uint8_t> frames, int fd = kStandardOutput);

}  // namespace ostrel

#endif  // OSTREL_CHANNEL_STD_STREAMS_H_
