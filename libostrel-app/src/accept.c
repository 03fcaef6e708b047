/* Accepting connections from this user's processes only. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "internal.h"
#include "ostrel/app.h"

static long long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* The milliseconds from now to `deadline`, at least 0; -1 (wait without
 * limit) for a deadline of -1. */
static int left_until(long long deadline) {
  if (deadline < 0) return -1;
  const long long remaining = deadline - now_ms();
  return remaining > 0 ? (int)remaining : 0;
}

/* Waits until `fd` is readable or `deadline` (from now_ms(); -1: none) has
 * passed; 1 readable, 0 time out, -1 error (EINTR: a signal came). */
static int wait_readable(int fd, long long deadline) {
  struct pollfd watched = {.fd = fd, .events = POLLIN, .revents = 0};
  const int ready = poll(&watched, 1, left_until(deadline));
  return ready > 0 ? 1 : ready;
}

/* The accepted `fd` made blocking and quiet, and checked: its descriptor,
 * or -1 with errno once closed. */
static int checked(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  uid_t peer;
  int error = 0;
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = errno;
  } else if (ostrel_app_peer_user(fd, &peer) != 0) {
    error = ECONNABORTED;
  } else if (peer != geteuid()) {
    error = EPERM; /* a process of another user: never served */
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  ostrel_app_quiet_pipe(fd);
  return fd;
}

int ostrel_app_accept(int listen_fd, int timeout_ms) {
  const long long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
  for (;;) {
    const int ready = wait_readable(listen_fd, deadline);
    if (ready < 0) return -1;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    const int fd = ostrel_app_accept_raw(listen_fd);
    if (fd >= 0) return checked(fd);
    /* Taken by another thread, or gone before it was accepted: wait on. A
     * signal returns, so that the caller sees what its handler noted. */
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
      if (left_until(deadline) == 0) {
        errno = ETIMEDOUT;
        return -1;
      }
      continue;
    }
    return -1;
  }
}
