#ifndef OSTREL_PLATFORM_DESCRIPTORS_H_
#define OSTREL_PLATFORM_DESCRIPTORS_H_

// Descriptors: making them, and asking about them, where systems differ.
// Every descriptor made here is close-on-exec, so a program the host
// launches never inherits it, except the standard streams that
// fillClosedStandardDescriptors() opens.

#include <sys/types.h>

#include <optional>

namespace ostrel {

// A new non-blocking Unix-domain stream socket, or -1. Where the system
// offers it, writes to it whose peer has gone fail with EPIPE instead of
// raising SIGPIPE. On Apple systems its send buffer holds a whole frame of
// the largest size (Linux's default already holds a fifth of one).
int openUnixStreamSocket();

// A new pipe in `ends` (read end first); false on failure.
bool openPipe(int ends[2]);

// Sets close-on-exec on `fd`; false on failure.
bool setCloseOnExec(int fd);

// A second, close-on-exec descriptor for what `fd` refers to, or -1.
int duplicateDescriptor(int fd);

// Whether `fd` is a pipe (or FIFO) or a socket.
bool isPipeOrSocket(int fd);

// Sets or clears O_NONBLOCK; false on failure.
bool setNonBlocking(int fd, bool nonBlocking = true);

// close(2) that ignores -1 and leaves -1 behind.
void closeDescriptor(int& fd);

// The user id of the process at the other end of the connected socket
// `fd`, as the system recorded it when that end was set up; nothing when
// the system cannot tell.
std::optional<uid_t> socketPeerUserId(int fd);
// ... and the id of that process.
std::optional<pid_t> socketPeerProcessId(int fd);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// nothing the process opens later takes their place. False when one stays
// closed.
bool fillClosedStandardDescriptors();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_DESCRIPTORS_H_
