#ifndef OSTREL_TOOLS_COMMON_STREAM_IO_H_
#define OSTREL_TOOLS_COMMON_STREAM_IO_H_

// Reading from a peer with a deadline, on blocking or non-blocking
// descriptors alike: every wait is a poll(2) bounded by the time left, so
// a peer that says nothing costs a time-out, never a hang. Frames are read
// exactly (the header, then the payload) and nothing past them is
// consumed, so these calls mix freely with others on the same descriptor.
// Frame headers are read with lengthOf() (bytes.h), independently of the
// host's framing code.
// Writes have a deadline too, so a peer that stops reading costs a failed
// write, never a hang; whoever uses them ignores SIGPIPE, so that a peer
// that has gone shows as a failed write.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "tools/common/bytes.h"

namespace ostrel::common {

using std::chrono::milliseconds;

// Long enough for anything a working peer does on a busy machine.
inline constexpr milliseconds kDeadline{10000};

// Asks `condition` every few milliseconds until it holds or `timeout`
// passes; true when it held.
bool waitUntil(const std::function<bool()>& condition, milliseconds timeout = kDeadline);

// True when `fd` becomes readable (data, end of stream or error) in time.
bool waitReadable(int fd, milliseconds timeout);

// Exactly `count` bytes; nothing on end of stream, error or time-out.
std::optional<Bytes> readBytes(int fd, std::size_t count, milliseconds timeout = kDeadline);

// One frame's payload; nothing on end of stream (also inside the frame),
// error, time-out, or a header announcing more than 1 MiB (which is left
// unread after the header).
std::optional<Bytes> readFrame(int fd, milliseconds timeout = kDeadline);

// True when `fd` reaches end of stream in time with no byte before it.
bool readsEndOfStream(int fd, milliseconds timeout = kDeadline);

// Appends what `fd` holds right now to `into`, without waiting for more.
// False once the stream has ended or failed.
bool readAvailable(int fd, std::string& into);

// All of `bytes`, or false on error or when the reader has not taken them
// within `timeout`. A blocking descriptor is made non-blocking for the
// call's duration, so no write can block past the deadline.
bool writeBytes(int fd, std::span<const std::uint8_t> bytes, milliseconds timeout = kDeadline);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_STREAM_IO_H_
