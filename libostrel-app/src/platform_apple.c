/* Apple systems: no atomic close-on-exec, but SO_NOSIGPIPE, MSG_NOSIGNAL
 * (from macOS 11) and getpeereid; a full queue refuses as a stale socket. */
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "internal.h"
#include "ostrel/app.h"

static int close_on_exec(int fd) {
  if (fd < 0) return -1;
  const int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ostrel_app_open_socket(void) { return close_on_exec(socket(AF_UNIX, SOCK_STREAM, 0)); }

int ostrel_app_accept_raw(int listen_fd) { return close_on_exec(accept(listen_fd, NULL, NULL)); }

void ostrel_app_quiet_pipe(int fd) {
  int on = 1;
  /* Should it fail, SIGPIPE's disposition decides, as for any socket. */
  (void)setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
}

int ostrel_app_send_flags(void) { return MSG_NOSIGNAL; }

/* A listener whose queue is full refuses a connection with ECONNREFUSED,
 * as a stale socket does: ten looks, 20 ms apart. */
int ostrel_app_refusal_looks(void) { return 10; }

int ostrel_app_peer_user(int fd, uid_t* user) {
  gid_t group;
  return getpeereid(fd, user, &group);
}
