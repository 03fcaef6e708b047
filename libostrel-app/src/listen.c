/* A safe listen, and accepting connections from this user's processes only. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "internal.h"
#include "ostrel/app.h"

void ostrel_app_say(char* reason, size_t size, const char* format, ...) {
  if (reason == NULL || size == 0) return;
  va_list arguments;
  va_start(arguments, format);
  /* The analyzer loses track of va_start here. */
  /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized) */
  (void)vsnprintf(reason, size, format, arguments);
  va_end(arguments);
}

/* Returns -1 with errno at `error`, after saying why. */
#define FAIL(error, ...)                              \
  do {                                                \
    const int failure_ = (error);                     \
    ostrel_app_say(reason, reason_size, __VA_ARGS__); \
    errno = failure_;                                 \
    return -1;                                        \
  } while (0)

static socklen_t address_of(const char* path, struct sockaddr_un* address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  const size_t length = strlen(path);
  memcpy(address->sun_path, path, length + 1);
  return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + length + 1);
}

/* Makes every missing folder on the way to `folder` with mode 0700; sets
 * `*made` when `folder` itself was made now. */
static int make_folders(const char* folder, int* made, char* reason, size_t reason_size) {
  char partial[OSTREL_APP_MAX_SOCKET_PATH + 1];
  const size_t length = strlen(folder);
  *made = 0;
  for (size_t end = 1; end <= length; ++end) {
    if (end < length && folder[end] != '/') continue;
    memcpy(partial, folder, end);
    partial[end] = '\0';
    if (mkdir(partial, 0700) == 0) {
      *made = end == length;
    } else if (errno != EEXIST) {
      FAIL(errno, "cannot make the folder %s: %s", partial, strerror(errno));
    }
  }
  return 0;
}

/* The folder must be a folder (not a link to one), of the effective user,
 * with no permission for anybody else; one made now gets mode 0700 whatever
 * the umask. */
static int check_folder(const char* folder, int made, char* reason, size_t reason_size) {
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat link;
    if (error == ELOOP || (lstat(folder, &link) == 0 && S_ISLNK(link.st_mode))) {
      FAIL(EPERM, "the folder %s is a symbolic link; give its real path", folder);
    }
    FAIL(error, "cannot open the folder %s: %s", folder, strerror(error));
  }
  struct stat status;
  int failed = fstat(fd, &status) != 0 || (made && fchmod(fd, 0700) != 0);
  const int error = errno;
  if (!failed && made) status.st_mode = (status.st_mode & ~(mode_t)07777) | 0700;
  close(fd);
  if (failed) FAIL(error, "cannot look at the folder %s: %s", folder, strerror(error));
  if (status.st_uid != geteuid()) {
    FAIL(EPERM,
         "the folder %s belongs to user id %ld, not to this user (%ld): keep the socket in a "
         "folder of your own",
         folder, (long)status.st_uid, (long)geteuid());
  }
  if ((status.st_mode & 077) != 0) {
    FAIL(EPERM,
         "the folder %s is open to others (mode %04o): make it 0700 (chmod 700), or "
         "keep the socket in a private folder",
         folder, (unsigned)(status.st_mode & 07777));
  }
  return 0;
}

/* Whether something accepts connections at `address`: 1 yes (or busy), 0
 * refused (a stale socket), -1 with errno when that cannot be told. */
static int someone_listens(const struct sockaddr_un* address, socklen_t length) {
  const int probe = ostrel_app_open_socket();
  if (probe < 0) return -1;
  const int flags = fcntl(probe, F_GETFL);
  if (flags < 0 || fcntl(probe, F_SETFL, flags | O_NONBLOCK) != 0) {
    close(probe);
    return -1;
  }
  int result = -1;
  /* Listening, perhaps with a full queue: accepting, or busy. */
  if (connect(probe, (const struct sockaddr*)address, length) == 0 || errno == EAGAIN ||
      errno == EWOULDBLOCK || errno == EINPROGRESS) {
    result = 1;
  } else if (errno == ECONNREFUSED) {
    result = 0;
  }
  const int error = errno;
  close(probe);
  errno = error;
  return result;
}

/* Removes a stale socket at `path`, and nothing else. */
static int clear_path(const char* path, const struct sockaddr_un* address, socklen_t length,
                      char* reason, size_t reason_size) {
  struct stat status;
  if (lstat(path, &status) != 0) {
    if (errno == ENOENT) return 0;
    FAIL(errno, "cannot look at %s: %s", path, strerror(errno));
  }
  if (!S_ISSOCK(status.st_mode)) {
    FAIL(ENOTSOCK, "%s exists and is not a socket; not touching it", path);
  }
  if (status.st_uid != geteuid()) {
    FAIL(EPERM, "%s is a socket of user id %ld, not of this user (%ld); not touching it", path,
         (long)status.st_uid, (long)geteuid());
  }
  switch (someone_listens(address, length)) {
    case 1:
      FAIL(EADDRINUSE, "another program listens on %s", path);
    case 0:
      break;
    default:
      FAIL(errno, "cannot tell whether a program listens on %s: %s", path, strerror(errno));
  }
  /* Refused: the leftover of an application that ended without removing it. */
  if (unlink(path) != 0 && errno != ENOENT) {
    FAIL(errno, "cannot remove the stale socket %s: %s", path, strerror(errno));
  }
  return 0;
}

static void folder_of(const char* path, char* folder) {
  const char* slash = strrchr(path, '/');
  /* "name" lies in ".", "/name" in "/". */
  const size_t length = slash == NULL ? 1 : slash == path ? 1 : (size_t)(slash - path);
  if (slash == NULL) {
    folder[0] = '.';
  } else {
    memcpy(folder, path, length);
  }
  folder[length] = '\0';
}

static int bind_and_listen(ostrel_app_listener* listener, const struct sockaddr_un* address,
                           socklen_t length, char* reason, size_t reason_size) {
  const char* path = listener->path;
  listener->fd = ostrel_app_open_socket();
  if (listener->fd < 0) FAIL(errno, "cannot make a socket: %s", strerror(errno));
  if (bind(listener->fd, (const struct sockaddr*)address, length) != 0) {
    FAIL(errno, "cannot bind %s: %s", path, strerror(errno));
  }
  /* Nobody can connect before listen(): the mode is right before anyone could. */
  struct stat status;
  if (lstat(path, &status) != 0 || !S_ISSOCK(status.st_mode) || chmod(path, 0600) != 0) {
    const int error = errno;
    (void)unlink(path);
    FAIL(error, "cannot make %s private: %s", path, strerror(error));
  }
  listener->device = status.st_dev;
  listener->inode = status.st_ino;
  const int flags = fcntl(listener->fd, F_GETFL);
  if (listen(listener->fd, SOMAXCONN) != 0 || flags < 0 ||
      fcntl(listener->fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    const int error = errno;
    ostrel_app_listener_close(listener);
    FAIL(error, "cannot listen on %s: %s", path, strerror(error));
  }
  return 0;
}

int ostrel_app_listen(ostrel_app_listener* listener, const char* path, char* reason,
                      size_t reason_size) {
  listener->fd = -1;
  listener->path[0] = '\0';
  listener->device = 0;
  listener->inode = 0;
  if (path == NULL || path[0] == '\0') FAIL(EINVAL, "the socket path is empty");
  if (!ostrel_app_socket_path_usable(path)) {
    FAIL(ENAMETOOLONG, "the socket path is %zu bytes long; the host connects to at most %d: %s",
         strlen(path), OSTREL_APP_MAX_SOCKET_PATH, path);
  }
  char folder[OSTREL_APP_MAX_SOCKET_PATH + 1] = {0};
  folder_of(path, folder);
  int made = 0;
  if (make_folders(folder, &made, reason, reason_size) != 0 ||
      check_folder(folder, made, reason, reason_size) != 0) {
    return -1;
  }
  struct sockaddr_un address;
  const socklen_t length = address_of(path, &address);
  if (clear_path(path, &address, length, reason, reason_size) != 0) return -1;
  memcpy(listener->path, path, strlen(path) + 1);
  if (bind_and_listen(listener, &address, length, reason, reason_size) != 0) {
    const int error = errno;
    if (listener->fd >= 0) close(listener->fd);
    listener->fd = -1;
    errno = error;
    return -1;
  }
  return 0;
}

void ostrel_app_listener_close(ostrel_app_listener* listener) {
  if (listener->fd >= 0) {
    close(listener->fd);
    listener->fd = -1;
  }
  if (listener->inode == 0 && listener->device == 0) return;
  /* Only the socket file this listener bound: another instance may have
   * replaced it since, and then it is that one's. */
  struct stat status;
  if (lstat(listener->path, &status) == 0 && S_ISSOCK(status.st_mode) &&
      status.st_dev == listener->device && status.st_ino == listener->inode) {
    (void)unlink(listener->path);
  }
  listener->device = 0;
  listener->inode = 0;
}

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
 * passed; 1 readable, 0 time out, -1 error. */
static int wait_readable(int fd, long long deadline) {
  for (;;) {
    struct pollfd watched = {.fd = fd, .events = POLLIN, .revents = 0};
    const int ready = poll(&watched, 1, left_until(deadline));
    if (ready > 0) return 1;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
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
    /* Taken by another thread, or gone before it was accepted: wait on. */
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) {
      if (left_until(deadline) == 0) {
        errno = ETIMEDOUT;
        return -1;
      }
      continue;
    }
    return -1;
  }
}
