#ifndef OSTREL_PLATFORM_DESCRIPTORS_H_
#define OSTREL_PLATFORM_DESCRIPTORS_H_

// Descriptor creation that differs between systems. Every descriptor made
// here is close-on-exec, so a program the host launches never inherits it.

namespace ostrel {

// A new Unix-domain stream socket, or -1. Where the system offers it, writes
// to it whose peer has gone fail with EPIPE instead of raising SIGPIPE.
int openUnixStreamSocket();

// A new pipe in `ends` (read end first); false on failure.
bool openPipe(int ends[2]);

// Sets close-on-exec on `fd`; false on failure.
bool setCloseOnExec(int fd);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_DESCRIPTORS_H_
