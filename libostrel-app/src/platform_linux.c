/* Linux: close-on-exec set atomically, MSG_NOSIGNAL, SO_PEERCRED. */
#define _GNU_SOURCE /* struct ucred, accept4 */  // NOLINT(bugprone-reserved-identifier)
#include <errno.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "internal.h"
#include "ostrel/app.h"

int ostrel_app_open_socket(void) { return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int ostrel_app_accept_raw(int listen_fd) { return accept4(listen_fd, NULL, NULL, SOCK_CLOEXEC); }

void ostrel_app_quiet_pipe(int fd) { (void)fd; }

int ostrel_app_send_flags(void) { return MSG_NOSIGNAL; }

/* A full queue makes a non-blocking connect fail with EAGAIN: a refusal
 * means nobody listens. */
int ostrel_app_refusal_looks(void) { return 1; }

int ostrel_app_peer_user(int fd, uid_t* user) {
  struct ucred credentials;
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return -1;
  if (size != sizeof credentials) {
    errno = EINVAL;
    return -1;
  }
  *user = credentials.uid;
  return 0;
}
