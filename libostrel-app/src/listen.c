/* A safe listen: a private folder, one instance at a time, a stale socket
 * replaced but never a live one, a socket file closed to others.
 *
 * One instance at a time: a listener holds an exclusive lock (flock) on
 * the file PATH.lock beside its socket for as long as it listens, and
 * takes it before it looks at the path at all. So of two instances that
 * start together over a stale socket exactly one goes on, and a live
 * listener is told from a stale one by its lock, even when its queue is
 * full. A listener that does not take the lock (another implementation)
 * is told by a connection attempt, as before. The lock file is removed by
 * its holder, while it holds it; whoever locked a file removed meanwhile
 * sees that the name leads elsewhere and tries again. */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "internal.h"
#include "ostrel/app.h"

#define LOCK_SUFFIX ".lock"

void ostrel_app_say(char* reason, size_t size, const char* format, ...) {
  if (reason == NULL || size == 0) return;
  va_list arguments;
  va_start(arguments, format);
  /* The analyzer loses track of va_start here. */
  /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized) */
  (void)vsnprintf(reason, size, format, arguments);
  va_end(arguments);
}

/* What listen() works with: the folder reached safely, and names in it. */
struct place {
  const char* path;
  int folder;
  const char* name; /* the socket's name in the folder */
  char lock_name[OSTREL_APP_MAX_SOCKET_PATH + sizeof LOCK_SUFFIX];
  struct sockaddr_un address;
  socklen_t address_length;
};

static int same_file(const struct stat* a, const struct stat* b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

/* The lock of `place`, held: its descriptor, or -1 with errno EADDRINUSE
 * when another instance holds it. */
static int take_lock(const struct place* place, char* reason, size_t reason_size) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int fd =
        openat(place->folder, place->lock_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      FAIL(errno, "cannot open the lock file %s%s: %s", place->path, LOCK_SUFFIX, strerror(errno));
    }
    struct stat held;
    struct stat named;
    int error = 0;
    if (fstat(fd, &held) != 0) {
      error = errno;
    } else if (!S_ISREG(held.st_mode) || held.st_uid != geteuid()) {
      error = EPERM;
    } else {
      while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        error = errno == EWOULDBLOCK ? EADDRINUSE : errno;
        break;
      }
    }
    if (error == 0 && fstatat(place->folder, place->lock_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(&held, &named)) {
      return fd;
    }
    close(fd);
    if (error == EADDRINUSE) {
      FAIL(EADDRINUSE, "another instance of the application listens on %s (it holds %s%s)",
           place->path, place->path, LOCK_SUFFIX);
    }
    if (error == EPERM) {
      FAIL(EPERM, "%s%s is not a lock file of this user; not using it", place->path, LOCK_SUFFIX);
    }
    if (error != 0) {
      FAIL(error, "cannot lock %s%s: %s", place->path, LOCK_SUFFIX, strerror(error));
    }
    /* Removed by its holder meanwhile: the name leads elsewhere now. */
  }
  FAIL(EAGAIN, "cannot lock %s%s: it keeps being replaced", place->path, LOCK_SUFFIX);
}

/* Whether something accepts connections at `place`: 1 yes (or busy), 0
 * refused or gone (stale), -1 with errno when that cannot be told. */
static int someone_listens(const struct place* place) {
  const int probe = ostrel_app_open_socket();
  if (probe < 0) return -1;
  const int flags = fcntl(probe, F_GETFL);
  if (flags < 0 || fcntl(probe, F_SETFL, flags | O_NONBLOCK) != 0) {
    close(probe);
    return -1;
  }
  int result = -1;
  /* Listening, perhaps with a full queue: accepting, or busy. */
  if (connect(probe, (const struct sockaddr*)&place->address, place->address_length) == 0 ||
      errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS) {
    result = 1;
  } else if (errno == ECONNREFUSED || errno == ENOENT) {
    result = 0;
  }
  const int error = errno;
  close(probe);
  errno = error;
  return result;
}

/* someone_listens(), asked again for a while where a full queue refuses
 * as a stale socket does: a live listener that takes no lock drains its
 * queue meanwhile. */
static int someone_listens_patiently(const struct place* place) {
  int result = someone_listens(place);
  for (int look = 1; result == 0 && look < ostrel_app_refusal_looks(); ++look) {
    const struct timespec pause = {.tv_sec = 0, .tv_nsec = 20L * 1000 * 1000};
    (void)nanosleep(&pause, NULL);
    result = someone_listens(place);
  }
  return result;
}

/* Removes a stale socket at `place`, and nothing else. */
static int clear_path(const struct place* place, char* reason, size_t reason_size) {
  struct stat status;
  if (fstatat(place->folder, place->name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return 0;
    FAIL(errno, "cannot look at %s: %s", place->path, strerror(errno));
  }
  if (!S_ISSOCK(status.st_mode)) {
    FAIL(ENOTSOCK, "%s exists and is not a socket; not touching it", place->path);
  }
  if (status.st_uid != geteuid()) {
    FAIL(EPERM, "%s is a socket of user id %ld, not of this user (%ld); not touching it",
         place->path, (long)status.st_uid, (long)geteuid());
  }
  switch (someone_listens_patiently(place)) {
    case 1:
      FAIL(EADDRINUSE, "another program listens on %s", place->path);
    case 0:
      break;
    default:
      FAIL(errno, "cannot tell whether a program listens on %s: %s", place->path, strerror(errno));
  }
  /* Refused: the leftover of an application that ended without removing it. */
  if (unlinkat(place->folder, place->name, 0) != 0 && errno != ENOENT) {
    FAIL(errno, "cannot remove the stale socket %s: %s", place->path, strerror(errno));
  }
  return 0;
}

static int bind_and_listen(ostrel_app_listener* listener, const struct place* place, char* reason,
                           size_t reason_size) {
  listener->fd = ostrel_app_open_socket();
  if (listener->fd < 0) FAIL(errno, "cannot make a socket: %s", strerror(errno));
  if (bind(listener->fd, (const struct sockaddr*)&place->address, place->address_length) != 0) {
    FAIL(errno, "cannot bind %s: %s", place->path, strerror(errno));
  }
  /* Nobody can connect before listen(): the mode is right before anyone could. */
  struct stat status;
  if (fstatat(place->folder, place->name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISSOCK(status.st_mode) || fchmodat(place->folder, place->name, 0600, 0) != 0) {
    const int error = errno;
    (void)unlinkat(place->folder, place->name, 0);
    FAIL(error, "cannot make %s private: %s", place->path, strerror(error));
  }
  listener->device = status.st_dev;
  listener->inode = status.st_ino;
  const int flags = fcntl(listener->fd, F_GETFL);
  if (listen(listener->fd, SOMAXCONN) != 0 || flags < 0 ||
      fcntl(listener->fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    FAIL(errno, "cannot listen on %s: %s", place->path, strerror(errno));
  }
  return 0;
}

/* The folder that holds `path` ("name" lies in ".", "/name" in "/"), and
 * where the name starts. */
static const char* split(const char* path, char* folder) {
  const char* slash = strrchr(path, '/');
  if (slash == NULL) {
    memcpy(folder, ".", 2);
    return path;
  }
  const size_t length = slash == path ? 1 : (size_t)(slash - path);
  memcpy(folder, path, length);
  folder[length] = '\0';
  return slash + 1;
}

static int listen_in_place(ostrel_app_listener* listener, struct place* place, char* reason,
                           size_t reason_size) {
  if (place->name[0] == '\0' || strcmp(place->name, ".") == 0 || strcmp(place->name, "..") == 0) {
    FAIL(EINVAL, "the socket path %s names no file", place->path);
  }
  snprintf(place->lock_name, sizeof place->lock_name, "%s%s", place->name, LOCK_SUFFIX);
  memset(&place->address, 0, sizeof place->address);
  place->address.sun_family = AF_UNIX;
  memcpy(place->address.sun_path, place->path, strlen(place->path) + 1);
  place->address_length =
      (socklen_t)(offsetof(struct sockaddr_un, sun_path) + strlen(place->path) + 1);
  listener->lock_fd = take_lock(place, reason, reason_size);
  if (listener->lock_fd < 0) return -1;
  if (clear_path(place, reason, reason_size) != 0 ||
      bind_and_listen(listener, place, reason, reason_size) != 0) {
    const int error = errno;
    ostrel_app_listener_close(listener);
    errno = error;
    return -1;
  }
  return 0;
}

int ostrel_app_listen(ostrel_app_listener* listener, const char* path, char* reason,
                      size_t reason_size) {
  listener->fd = -1;
  listener->lock_fd = -1;
  listener->path[0] = '\0';
  listener->device = 0;
  listener->inode = 0;
  if (path == NULL || path[0] == '\0') FAIL(EINVAL, "the socket path is empty");
  if (!ostrel_app_socket_path_usable(path)) {
    FAIL(ENAMETOOLONG, "the socket path is %zu bytes long; the host connects to at most %d: %s",
         strlen(path), OSTREL_APP_MAX_SOCKET_PATH, path);
  }
  memcpy(listener->path, path, strlen(path) + 1);
  char folder[OSTREL_APP_MAX_SOCKET_PATH + 1];
  struct place place = {.path = listener->path, .name = split(listener->path, folder)};
  place.folder = ostrel_app_open_private_folder(folder, reason, reason_size);
  if (place.folder < 0) return -1;
  const int result = listen_in_place(listener, &place, reason, reason_size);
  const int error = errno;
  close(place.folder);
  errno = error;
  return result;
}

void ostrel_app_listener_close(ostrel_app_listener* listener) {
  if (listener->fd >= 0) {
    close(listener->fd);
    listener->fd = -1;
  }
  /* Only the socket file this listener bound: another program may have
   * replaced it since, and then it is that one's. */
  struct stat status;
  if ((listener->inode != 0 || listener->device != 0) && lstat(listener->path, &status) == 0 &&
      S_ISSOCK(status.st_mode) && status.st_dev == listener->device &&
      status.st_ino == listener->inode) {
    (void)unlink(listener->path);
  }
  listener->device = 0;
  listener->inode = 0;
  if (listener->lock_fd < 0) return;
  /* The lock file goes while it is still held, and only when it is still
   * the one held. */
  char lock_path[sizeof listener->path + sizeof LOCK_SUFFIX];
  snprintf(lock_path, sizeof lock_path, "%s%s", listener->path, LOCK_SUFFIX);
  struct stat held;
  if (fstat(listener->lock_fd, &held) == 0 && lstat(lock_path, &status) == 0 &&
      same_file(&held, &status)) {
    (void)unlink(lock_path);
  }
  close(listener->lock_fd);
  listener->lock_fd = -1;
}
