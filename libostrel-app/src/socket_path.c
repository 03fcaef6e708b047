/* Where the host connects: the one implementation of its rules, used by
 * the host itself and by applications. */
#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ostrel/app.h"

/* Copies `length` bytes of `text` and a zero into `buffer` when they fit;
 * returns `length` either way, as snprintf does. */
static ssize_t give(const char* text, size_t length, char* buffer, size_t size) {
  if (length < size) {
    memcpy(buffer, text, length);
    buffer[length] = '\0';
  }
  return (ssize_t)length;
}

static int absolute(const char* path) { return path != NULL && path[0] == '/'; }

/* The password database's home folder of the real user id, written as by
 * give(); -1 when there is none or it is not absolute. */
static ssize_t password_home(char* buffer, size_t size) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t scratch_size = suggested > 0 ? (size_t)suggested : 16384;
  ssize_t result = -1;
  for (;;) {
    char* scratch = malloc(scratch_size);
    if (scratch == NULL) return -1;
    struct passwd entry;
    struct passwd* found = NULL;
    int error = getpwuid_r(getuid(), &entry, scratch, scratch_size, &found);
    if (error == 0 && found != NULL && absolute(found->pw_dir)) {
      result = give(found->pw_dir, strlen(found->pw_dir), buffer, size);
    }
    free(scratch);
    if (error != ERANGE || scratch_size >= (1U << 20)) break;
    scratch_size *= 2;
  }
  if (result < 0) errno = ENOENT;
  return result;
}

ssize_t ostrel_app_home_directory(const char* home, char* buffer, size_t size) {
  /* A relative or empty HOME would put the socket below the working
   * directory or at the root, where anyone may create it. */
  if (absolute(home)) return give(home, strlen(home), buffer, size);
  return password_home(buffer, size);
}

ssize_t ostrel_app_socket_path_from(const char* socket_variable, const char* home, char* buffer,
                                    size_t size) {
  if (socket_variable != NULL) return give(socket_variable, strlen(socket_variable), buffer, size);
  /* The home folder first, into `buffer` when it fits or into a buffer of
   * its own size, then the relative path after it. */
  char small[256];
  ssize_t home_length = ostrel_app_home_directory(home, small, sizeof small);
  if (home_length < 0) return -1;
  char* folder = small;
  if ((size_t)home_length >= sizeof small) {
    folder = malloc((size_t)home_length + 1);
    if (folder == NULL) return -1;
    if (ostrel_app_home_directory(home, folder, (size_t)home_length + 1) != home_length) {
      free(folder);
      errno = ENOENT; /* the database changed between the two looks */
      return -1;
    }
  }
  size_t length = (size_t)home_length;
  const int slash = length > 0 && folder[length - 1] == '/';
  const size_t tail = strlen(OSTREL_APP_DEFAULT_SOCKET);
  const size_t total = length + (slash ? 0 : 1) + tail;
  if (total < size) {
    memmove(buffer, folder, length);
    if (!slash) buffer[length++] = '/';
    memcpy(buffer + length, OSTREL_APP_DEFAULT_SOCKET, tail + 1);
  }
  if (folder != small) free(folder);
  return (ssize_t)total;
}

ssize_t ostrel_app_socket_path(char* buffer, size_t size) {
  return ostrel_app_socket_path_from(getenv(OSTREL_APP_SOCKET_VARIABLE), getenv("HOME"), buffer,
                                     size);
}

int ostrel_app_socket_path_usable(const char* path) {
  if (path == NULL) return 0;
  const size_t length = strlen(path);
  return length > 0 && length <= OSTREL_APP_MAX_SOCKET_PATH;
}
