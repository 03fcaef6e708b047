/* What the library's files share, and the few calls that differ between
 * systems (platform_linux.c, platform_apple.c). Not installed. */
#ifndef OSTREL_APP_INTERNAL_H
#define OSTREL_APP_INTERNAL_H

#include <stddef.h>

/* A new Unix-domain stream socket, close-on-exec, blocking; -1 with errno. */
int ostrel_app_open_socket(void);

/* accept(2) giving a close-on-exec descriptor; -1 with errno. */
int ostrel_app_accept_raw(int listen_fd);

/* Makes writes to `fd` whose peer has gone fail with EPIPE rather than
 * raise SIGPIPE, where the system has a per-socket setting for it. */
void ostrel_app_quiet_pipe(int fd);

/* The flags for send() that keep it from raising SIGPIPE, where they exist. */
int ostrel_app_send_flags(void);

/* How many times a connection refused at a socket path is tried before
 * the socket is taken for stale. */
int ostrel_app_refusal_looks(void);

/* Opens the socket's folder `folder` after walking to it safely (see
 * private_folder.c), making it when missing: its descriptor, or -1 with
 * errno and a sentence in `reason`. */
int ostrel_app_open_private_folder(const char* folder, char* reason, size_t reason_size);

/* Writes a sentence to `reason` (when not NULL), as snprintf does. */
void ostrel_app_say(char* reason, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* In a function with `reason` and `reason_size`: returns -1 with errno at
 * `error`, after saying why. */
#define FAIL(error, ...)                              \
  do {                                                \
    const int failure_ = (error);                     \
    ostrel_app_say(reason, reason_size, __VA_ARGS__); \
    errno = failure_;                                 \
    return -1;                                        \
  } while (0)

#endif /* OSTREL_APP_INTERNAL_H */
