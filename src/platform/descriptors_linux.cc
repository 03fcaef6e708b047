// Linux: close-on-exec set atomically at creation. There is no SO_NOSIGPIPE;
// the host ignores SIGPIPE process-wide instead.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/descriptors.h"

namespace ostrel {

int openUnixStreamSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

bool openPipe(int ends[2]) { return ::pipe2(ends, O_CLOEXEC) == 0; }

}  // namespace ostrel
