/*
 * libostrel-app: the desktop application's end of the link that
 * ostrel-native-host makes between a browser extension and the application.
 *
 * The host, started by the browser once per extension port, connects to a
 * Unix-domain stream socket that the application listens on and relays
 * frames both ways: a 4-byte little-endian length, then that many payload
 * bytes (UTF-8 JSON from the browser). This library gives the application
 * what it must get right and the host relies on:
 *
 *   - where the host connects, by the host's own rules (the host calls
 *     the same code);
 *   - a safe listen: a private folder, one instance at a time, a stale
 *     socket replaced but never a live one or another user's, a socket
 *     file closed to others;
 *   - accepting connections from processes of this user only;
 *   - frames: an incremental decoder with the 1 MiB limit, which allocates
 *     nothing before a length has passed that limit, and an encoder;
 *   - a message's type by the host's own rule.
 *
 * It does not: run threads, own an event loop, parse JSON beyond finding a
 * message's type, or log. Every
 * descriptor it makes is close-on-exec. Functions report failure by their
 * result and errno; none writes to standard output or error, none calls
 * exit or abort. Nothing here keeps global state, so every function may be
 * called from any thread, on distinct objects.
 *
 * C, C++, Objective-C and Swift can use it: link libostrel-app.a
 * (pkg-config --cflags --libs ostrel-app; from a build tree, with
 * PKG_CONFIG_PATH set to its libostrel-app folder).
 */
#ifndef OSTREL_APP_H
#define OSTREL_APP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest payload either side accepts: exactly 1 MiB is allowed, one
 * byte more is refused. The host drops a connection whose frame announces
 * more; a browser frame over it ends the host. */
#define OSTREL_APP_MAX_PAYLOAD 1048576

/* The length of a frame header: the payload length, unsigned 32-bit,
 * little-endian. */
#define OSTREL_APP_HEADER_BYTES 4

/* The longest socket path, in bytes without the terminating zero, that the
 * host connects to: what fits a socket address on every system it runs
 * on. A longer path is never tried. */
#define OSTREL_APP_MAX_SOCKET_PATH 103

/* The environment variable that gives the host another socket path, and the
 * default path below the home directory when it is not set. */
#define OSTREL_APP_SOCKET_VARIABLE "OSTREL_SOCKET_PATH"
#define OSTREL_APP_DEFAULT_SOCKET "Library/Application Support/ostrel/browser.sock"

/* ---------------------------------------------------------------------------
 * Where the host connects
 *
 * These functions write a path into `buffer` (`size` bytes) with its
 * terminating zero when it fits, and return the path's length in bytes
 * either way, as snprintf does: a result of `size` or more means the
 * buffer was too small and holds nothing useful. They return -1 with errno
 * set to ENOENT when no path exists.
 */

/* The home directory as the host takes it: `home` (the value of HOME, NULL
 * when unset) when it is an absolute path; otherwise, when HOME is unset,
 * empty or relative, the password database's home of the real user id if
 * that is absolute. -1 (ENOENT) when neither gives an absolute path. */
ssize_t ostrel_app_home_directory(const char* home, char* buffer, size_t size);

/* The socket path a host uses, from the values of OSTREL_SOCKET_PATH and
 * HOME it gets (NULL: unset): OSTREL_SOCKET_PATH whenever it is set, used
 * as it is (not trimmed, expanded or made absolute; the empty string is a
 * path that never connects); otherwise the home directory above joined with
 * OSTREL_APP_DEFAULT_SOCKET. -1 (ENOENT) when there is no home directory:
 * such a host never connects. A path longer than OSTREL_APP_MAX_SOCKET_PATH
 * is returned too: see ostrel_app_socket_path_usable. */
ssize_t ostrel_app_socket_path_from(const char* socket_variable, const char* home, char* buffer,
                                    size_t size);

/* The same from this process's environment. An application started by the
 * host (on "open_app") has the browser's environment, so it finds the path
 * its hosts use. */
ssize_t ostrel_app_socket_path(char* buffer, size_t size);

/* 1 when a host ever connects to `path`: not empty and at most
 * OSTREL_APP_MAX_SOCKET_PATH bytes long; 0 otherwise. */
int ostrel_app_socket_path_usable(const char* path);

/* ---------------------------------------------------------------------------
 * Listening and accepting
 */

/* A listening socket, the socket file it made, and the lock it holds.
 * Fields are read-only for the caller. */
typedef struct ostrel_app_listener {
  int fd; /* listening, non-blocking, close-on-exec; -1 when not listening */
  char path[OSTREL_APP_MAX_SOCKET_PATH + 1];
  dev_t device; /* the socket file this listener bound, to remove only it */
  ino_t inode;
  int lock_fd; /* the lock on PATH.lock, held while listening; -1 when none */
} ostrel_app_listener;

/* Listens on `path` safely:
 *   - the path is walked from "/": every folder on the way must belong to
 *     this user (the effective user id) or root and be closed to changes
 *     by others (not writable by others, nor by a group other than this
 *     user's, unless sticky as /tmp is), and a symbolic link on the way is
 *     followed only when this user or root owns it; so nobody else can
 *     swap a folder on the way;
 *   - the folder that holds `path` is made when missing (missing parents
 *     too, each with mode 0700) and must then be a folder, not a link,
 *     owned by this user and closed to everybody else (no group or other
 *     permission bit), so that nobody else can place, replace or reach a
 *     socket in it;
 *   - one instance at a time: the listener takes an exclusive lock
 *     (flock) on the file PATH.lock beside the socket and holds it while
 *     it listens; of two instances that start together exactly one
 *     listens, and the other fails with EADDRINUSE and says so. Another
 *     program that listens without that lock is told by a connection
 *     attempt, as below;
 *   - an existing file at `path` is removed only when it is a socket of
 *     this user on which a connection is refused (the leftover of an
 *     application that died); never a file that is not a socket, a socket
 *     of another user, one where something accepts, or one whose listener
 *     holds the lock or is merely busy (on macOS, where a full queue
 *     refuses as a stale socket does, a refusal is asked again for 200 ms
 *     first);
 *   - the new socket file has mode 0600, whatever the umask.
 * `path` must be usable (ostrel_app_socket_path_usable). Returns 0 with
 * `listener` filled in, or -1 with errno set and `listener->fd` at -1;
 * when `reason` is not NULL, a sentence saying why for a person is written
 * to it (at most `reason_size` bytes, with its terminating zero). errno:
 * ENAMETOOLONG or EINVAL for an unusable path; EPERM for a folder or file
 * of another user, a folder open to others or on the way changeable by
 * others, or a link; ENOTDIR or ENOTSOCK for a file of the wrong kind;
 * EADDRINUSE when another instance or program listens on `path`; others
 * from the system calls. */
int ostrel_app_listen(ostrel_app_listener* listener, const char* path, char* reason,
                      size_t reason_size);

/* Stops listening, removes the socket file when it is still the one this
 * listener made (not when another program has replaced it since), and
 * gives up the lock. Safe to call twice, and on a listener that failed to
 * listen. */
void ostrel_app_listener_close(ostrel_app_listener* listener);

/* Accepts one connection on `listen_fd`, waiting up to `timeout_ms`
 * milliseconds for one (0: only a look; -1: without limit). Returns the
 * connection's descriptor: blocking, close-on-exec, and where the system
 * offers it, set so that writing to a host that has gone fails with EPIPE
 * instead of raising SIGPIPE. Returns -1 with errno: ETIMEDOUT when none
 * came in time; EINTR when a signal handler ran meanwhile (so that a flag
 * it set, for SIGTERM say, is seen: look at it and call again); EPERM when
 * the process that connected belongs to another user (the connection has
 * been closed: accept the next one); ECONNABORTED when it went away before
 * it could be checked; others from the system.
 * A connection that then sends nothing and closes is normal: the setup
 * tool's doctor probes that way. */
int ostrel_app_accept(int listen_fd, int timeout_ms);

/* The effective user id of the process at the other end of the connected
 * Unix-domain socket `fd`, as the system recorded it when that process
 * connected (SO_PEERCRED on Linux, getpeereid on macOS). 0, or -1 with
 * errno set. */
int ostrel_app_peer_user(int fd, uid_t* user);

/* ---------------------------------------------------------------------------
 * Frames
 */

/* What ostrel_app_decoder_feed found. */
enum ostrel_app_decoded {
  OSTREL_APP_NEED_MORE = 0, /* every byte taken; no whole frame yet */
  OSTREL_APP_FRAME = 1,     /* a whole payload is in the decoder */
  OSTREL_APP_TOO_LONG = 2,  /* a header announced more than the limit */
  OSTREL_APP_NO_MEMORY = 3  /* the payload buffer could not grow */
};

/* Cuts a byte stream, given in pieces of any size, into payloads. Memory
 * grows with the bytes that have really arrived, never beyond the largest
 * payload, and nothing is allocated for a length over the limit. Fields
 * other than `payload` and `length` are the decoder's own. */
typedef struct ostrel_app_decoder {
  const unsigned char* payload; /* after OSTREL_APP_FRAME: the payload (not NUL-terminated) */
  size_t length;                /* ... and its length, which may be 0 */
  unsigned char header[OSTREL_APP_HEADER_BYTES];
  size_t header_fill;
  size_t expected; /* the announced length of the frame under way */
  size_t fill;     /* payload bytes of it received */
  unsigned char* buffer;
  size_t capacity;
  int state;
} ostrel_app_decoder;

void ostrel_app_decoder_init(ostrel_app_decoder* decoder);

/* Releases the decoder's buffer; init it again before another use. */
void ostrel_app_decoder_free(ostrel_app_decoder* decoder);

/* Takes bytes from `data` (`size` of them) up to the end of the next whole
 * frame, and sets `*used` to the number taken; feed the rest again:
 *
 *   size_t at = 0;
 *   while (at < n) {
 *     size_t used;
 *     int found = ostrel_app_decoder_feed(&decoder, bytes + at, n - at, &used);
 *     at += used;
 *     if (found == OSTREL_APP_FRAME) handle(decoder.payload, decoder.length);
 *     else if (found != OSTREL_APP_NEED_MORE) { close the connection; break; }
 *   }
 *
 * After OSTREL_APP_FRAME, `payload` and `length` stay valid until the next
 * call. OSTREL_APP_TOO_LONG and OSTREL_APP_NO_MEMORY are final: the stream
 * cannot be followed further, and every later call returns the same. */
int ostrel_app_decoder_feed(ostrel_app_decoder* decoder, const void* data, size_t size,
                            size_t* used);

/* 1 while the decoder holds part of a frame: the stream ending now ends
 * inside a frame (a host that was killed, say; nothing to do but close). */
int ostrel_app_decoder_partial(const ostrel_app_decoder* decoder);

/* Writes the frame of `payload` (`length` bytes) into `out`, the header
 * and then the payload: `length` + OSTREL_APP_HEADER_BYTES bytes. Returns
 * that count, or -1 with errno EMSGSIZE when `length` is over the limit or
 * ENOBUFS when `out_size` is too small (nothing is written then). */
ssize_t ostrel_app_encode_frame(const void* payload, size_t length, unsigned char* out,
                                size_t out_size);

/* Writes the frame of `payload` whole to the blocking descriptor `fd`,
 * going on after partial writes and interruptions. 0, or -1 with errno:
 * EMSGSIZE when `length` is over the limit (nothing is written); otherwise
 * the frame may have been cut and the connection must be closed. Never
 * raises SIGPIPE on a socket, whoever made it. It waits while the
 * connection's buffer is full: an application that serves several hosts
 * from one thread gives the descriptor a send time limit (SO_SNDTIMEO) or
 * writes without blocking, so that one host that stops reading does not
 * stall the others. */
int ostrel_app_write_frame(int fd, const void* payload, size_t length);

/* ---------------------------------------------------------------------------
 * A message's type
 */

/* The type of the message `payload` (`length` bytes) by the host's own
 * rule, the one that decides which messages it caches and replays
 * ("hello", "focus", "blur") and acts on ("open_app"): the string value of
 * the member "type" of a payload that is a JSON object, escapes decoded,
 * the last "type" counting when there are several (a last one that is not
 * a string leaves the message without a type); "type" in a nested object
 * does not count. The whole payload is checked as the host checks it:
 * UTF-8, JSON, nesting of at most 1024 arrays and objects, integers that
 * fit 64 bits, numbers within a double's range.
 * Writes the type into `buffer` (`size` bytes) with a terminating zero when
 * it fits, and returns its length in bytes either way, as snprintf does (a
 * type may hold a zero byte, from "\u0000"). -1 with errno EBADMSG when the
 * payload is not such JSON, ENOENT when it is but has no type. Reads the
 * payload once, allocates nothing, recurses nowhere. */
ssize_t ostrel_app_message_type(const void* payload, size_t length, char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_APP_H */
