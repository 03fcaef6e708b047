/* An application server for the checker's tests that does one thing wrong,
 * chosen by its first argument, and everything else right:
 *
 *   broken_app MODE SOCKET
 *
 *   none             nothing wrong
 *   folder-only      refuses no other user, but keeps its socket in a
 *                    private folder, which is enough
 *   open-folder      leaves its socket's folder open to others (0755)
 *   open-socket      leaves its socket file readable by others (0644)
 *   big-endian       reads and writes frame lengths big-endian
 *   steal-live       removes whatever socket is at its path when it starts
 *   leaves-socket    ends on SIGTERM without removing its socket file
 *   removes-any      removes whatever is at its path when SIGTERM ends it
 *   no-stale         refuses to start over a socket file left behind
 *   hello-first      closes a connection whose first message is not "hello"
 *   short-limit      refuses a frame of exactly 1 MiB (takes the limit as
 *                    exclusive)
 *   cut-payload      keeps only the first 1048572 bytes of a payload, as a
 *                    buffer of 1 MiB that holds the length too would
 *   one-at-a-time    serves one connection at a time
 *   hello-evicts     a "hello" closes the other connections that sent the
 *                    same "hello"
 *   hello-resets     a "hello" starts a new session: "focus" is forgotten
 *   cut-writes       answers "ping" with 512 KiB in one non-blocking send,
 *                    whatever it takes
 *   blocking-writes  writes its answers blocking, so one connection that
 *                    does not read holds up every other
 *   open-no-peer     serves processes of other users, with its folder and
 *                    socket open to them
 *   probe-kills      exits when a connection closes before its first byte
 *   cut-kills        exits when a connection closes inside a frame
 *   focus-kills      exits at the first "focus", saying so with controls
 *
 * It answers {"type":"ping"} with {"type":"pong","focus":F} (F: 1 after a
 * "focus" on that connection, 0 after a "blur" or none), and sends a
 * message of type "echo" back unchanged. SIGTERM ends it, removing its
 * socket file when it is still its own.
 */
#include <errno.h>
#include <fcntl.h>
#include <ostrel/app.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#define MAX_CONNECTIONS 32
#define MAX_HELLO 256

static const char* mode = "none";
static const char* path;
static ostrel_app_listener listener = {.fd = -1, .lock_fd = -1};
static int wake[2] = {-1, -1};

static int is(const char* name) { return strcmp(mode, name) == 0; }

struct connection {
  int fd;
  int frames; /* whole frames received */
  int focus;
  char hello[MAX_HELLO]; /* the start of its last "hello" */
  ostrel_app_decoder decoder;
  unsigned char header[4]; /* big-endian: the frame under way */
  size_t header_fill, expected, fill;
  unsigned char* payload;
  unsigned char* queued; /* answers not written yet */
  size_t queued_size, sent, capacity;
};

static struct connection connections[MAX_CONNECTIONS];

static void on_signal(int number) {
  const int saved = errno;  // NOLINT(bugprone-signal-handler)
  (void)!write(wake[1], &number, 1);
  errno = saved;  // NOLINT(bugprone-signal-handler)
}

/* Its own listen, for the modes that listen wrongly. */
static int listen_at(void) {
  char folder[OSTREL_APP_MAX_SOCKET_PATH + 1];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (slash != NULL) *slash = '\0';
  if (mkdir(folder, 0700) != 0 && errno != EEXIST) return -1;
  if (is("steal-live")) {
    unlink(path);
    usleep(300 * 1000); /* as a slow start would, before its bind() */
  }
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
      bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 16) != 0) {
    perror("listen");
    return -1;
  }
  chmod(path, 0600);
  /* Its own socket file, for stop() to remove. */
  struct stat status;
  if (lstat(path, &status) == 0) {
    snprintf(listener.path, sizeof listener.path, "%s", path);
    listener.device = status.st_dev;
    listener.inode = status.st_ino;
  }
  return fd;
}

static int start_listening(void) {
  if (is("steal-live")) return listen_at();
  if (is("no-stale")) {
    struct stat status;
    if (lstat(path, &status) == 0) {
      fprintf(stderr, "error: %s exists\n", path);
      return -1;
    }
  }
  char why[256];
  char folder[OSTREL_APP_MAX_SOCKET_PATH + 1];
  snprintf(folder, sizeof folder, "%s", path);
  *strrchr(folder, '/') = '\0';
  const int opens = is("open-folder") || is("open-no-peer");
  if (opens) chmod(folder, 0700); /* opened again below */
  if (ostrel_app_listen(&listener, path, why, sizeof why) != 0) {
    fprintf(stderr, "error: %s\n", why);
    return -1;
  }
  if (opens) chmod(folder, 0755);
  if (is("open-socket")) chmod(path, 0644);
  if (is("open-no-peer")) chmod(path, 0666);
  return listener.fd;
}

static void stop(void) {
  if (is("removes-any")) {
    unlink(path);
  } else if (!is("leaves-socket")) {
    ostrel_app_listener_close(&listener);
  }
  exit(0);
}

static void drop(struct connection* c) {
  close(c->fd);
  ostrel_app_decoder_free(&c->decoder);
  free(c->payload);
  free(c->queued);
  memset(c, 0, sizeof *c);
  c->fd = -1;
}

static void flush(struct connection* c) {
  while (c->sent < c->queued_size) {
    const ssize_t n = write(c->fd, c->queued + c->sent, c->queued_size - c->sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return; /* full for now, or gone: the next read tells */
    c->sent += (size_t)n;
  }
  c->sent = c->queued_size = 0;
}

static void answer(struct connection* c, const void* payload, size_t length) {
  unsigned char header[4];
  for (int i = 0; i < 4; ++i) {
    const int shift = is("big-endian") ? 24 - 8 * i : 8 * i;
    header[i] = (unsigned char)(length >> shift);
  }
  if (is("blocking-writes")) {
    fcntl(c->fd, F_SETFL, 0);
    (void)!write(c->fd, header, 4);
    (void)!write(c->fd, payload, length);
    fcntl(c->fd, F_SETFL, O_NONBLOCK);
    return;
  }
  if (c->queued_size + 4 + length > c->capacity) {
    c->capacity = 2 * (c->queued_size + 4 + length);
    c->queued = realloc(c->queued, c->capacity);
  }
  memcpy(c->queued + c->queued_size, header, 4);
  memcpy(c->queued + c->queued_size + 4, payload, length);
  c->queued_size += 4 + length;
  flush(c);
}

static void cut_writes(struct connection* c) {
  const size_t length = 512 * 1024;
  unsigned char* frame = malloc(length + 4);
  char* text = (char*)frame + 4;
  memset(text, 'p', length);
  memcpy(text, "{\"type\":\"pong\",\"p\":\"", 20);
  memcpy(text + length - 2, "\"}", 2);
  ostrel_app_encode_frame(text, length, frame, length + 4);
  (void)send(c->fd, frame, length + 4, 0);
  free(frame);
}

static int starts(const char* text, size_t length, const char* start) {
  return length >= strlen(start) && memcmp(text, start, strlen(start)) == 0;
}

/* One whole message; 0 when the connection is to be closed. */
static int handle(struct connection* c, const char* text, size_t length) {
  if (is("short-limit") && length >= OSTREL_APP_MAX_PAYLOAD) return 0;
  if (is("cut-payload") && length > OSTREL_APP_MAX_PAYLOAD - 4) length = OSTREL_APP_MAX_PAYLOAD - 4;
  const int hello = starts(text, length, "{\"type\":\"hello\"");
  if (is("hello-first") && c->frames == 0 && !hello) return 0;
  ++c->frames;
  if (hello) {
    snprintf(c->hello, sizeof c->hello, "%.*s", (int)(length < MAX_HELLO ? length : MAX_HELLO - 1),
             text);
    if (is("hello-resets")) c->focus = 0;
    for (int i = 0; is("hello-evicts") && i < MAX_CONNECTIONS; ++i) {
      if (&connections[i] != c && connections[i].fd >= 0 &&
          strcmp(connections[i].hello, c->hello) == 0) {
        drop(&connections[i]);
      }
    }
  } else if (starts(text, length, "{\"type\":\"focus\"")) {
    if (is("focus-kills")) {
      /* Its last words hold what must not reach a terminal raw: ESC, the
       * 8-bit CSI (U+009B) and a right-to-left override (U+202E). */
      fprintf(stderr,
              "dying \x1b[31m \xc2\x9b"
              "31m \xe2\x80\xae kcab\n");
      exit(3);
    }
    c->focus = 1;
  } else if (starts(text, length, "{\"type\":\"blur\"")) {
    c->focus = 0;
  } else if (starts(text, length, "{\"type\":\"echo\"")) {
    answer(c, text, length);
  } else if (length == 15 && memcmp(text, "{\"type\":\"ping\"}", 15) == 0) {
    if (is("cut-writes")) {
      cut_writes(c);
    } else {
      char pong[64];
      answer(c, pong,
             (size_t)snprintf(pong, sizeof pong, "{\"type\":\"pong\",\"focus\":%d}", c->focus));
    }
  }
  return 1;
}

/* Frames with big-endian lengths, read by hand. */
static int feed_big_endian(struct connection* c, const unsigned char* bytes, size_t n) {
  for (size_t at = 0; at < n;) {
    if (c->header_fill < 4) {
      c->header[c->header_fill++] = bytes[at++];
      if (c->header_fill < 4) continue;
      c->expected = (size_t)c->header[0] << 24 | (size_t)c->header[1] << 16 |
                    (size_t)c->header[2] << 8 | c->header[3];
      if (c->expected > OSTREL_APP_MAX_PAYLOAD) return 0;
      c->payload = realloc(c->payload, c->expected + 1);
      c->fill = 0;
    }
    size_t take = c->expected - c->fill < n - at ? c->expected - c->fill : n - at;
    memcpy(c->payload + c->fill, bytes + at, take);
    c->fill += take;
    at += take;
    if (c->fill < c->expected) continue;
    c->header_fill = 0;
    if (!handle(c, (const char*)c->payload, c->expected)) return 0;
  }
  return 1;
}

/* Reads once; 0 when the connection is to be closed. */
static int serve(struct connection* c) {
  unsigned char bytes[65536];
  const ssize_t n = read(c->fd, bytes, sizeof bytes);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 1;
  if (n <= 0) {
    const int partial = ostrel_app_decoder_partial(&c->decoder) || c->header_fill > 0;
    if (is("probe-kills") && c->frames == 0 && !partial) exit(3);
    if (is("cut-kills") && partial) exit(3);
    return 0;
  }
  if (is("big-endian")) return feed_big_endian(c, bytes, (size_t)n);
  for (size_t at = 0; at < (size_t)n;) {
    size_t used;
    const int found = ostrel_app_decoder_feed(&c->decoder, bytes + at, (size_t)n - at, &used);
    at += used;
    if (found == OSTREL_APP_NEED_MORE) continue;
    if (found != OSTREL_APP_FRAME) return 0;
    if (!handle(c, (const char*)c->decoder.payload, c->decoder.length)) return 0;
  }
  return 1;
}

static void take(int listening) {
  const int fd = is("open-no-peer") || is("folder-only") ? accept(listening, NULL, NULL)
                                                         : ostrel_app_accept(listening, 0);
  if (fd < 0) return;
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  for (int i = 0; i < MAX_CONNECTIONS; ++i) {
    if (connections[i].fd >= 0) continue;
    memset(&connections[i], 0, sizeof connections[i]);
    connections[i].fd = fd;
    ostrel_app_decoder_init(&connections[i].decoder);
    return;
  }
  close(fd);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: broken_app MODE SOCKET\n");
    return 2;
  }
  mode = argv[1];
  path = argv[2];
  if (pipe(wake) != 0) return 1;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, on_signal);
  setvbuf(stdout, NULL, _IOLBF, 0);
  const int listening = start_listening();
  if (listening < 0) return 1;
  printf("listening on %s\n", path);
  for (int i = 0; i < MAX_CONNECTIONS; ++i) connections[i].fd = -1;
  for (;;) {
    struct pollfd watched[MAX_CONNECTIONS + 2];
    int busy = 0;
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
      const struct connection* c = &connections[i];
      watched[i] =
          (struct pollfd){c->fd, (short)(POLLIN | (c->sent < c->queued_size ? POLLOUT : 0)), 0};
      busy |= c->fd >= 0;
    }
    const int taking = !(is("one-at-a-time") && busy);
    watched[MAX_CONNECTIONS] = (struct pollfd){taking ? listening : -1, POLLIN, 0};
    watched[MAX_CONNECTIONS + 1] = (struct pollfd){wake[0], POLLIN, 0};
    if (poll(watched, MAX_CONNECTIONS + 2, -1) < 0) continue;
    if (watched[MAX_CONNECTIONS + 1].revents != 0) stop();
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
      struct connection* c = &connections[i];
      if (c->fd < 0 || watched[i].revents == 0) continue;
      if ((watched[i].revents & POLLOUT) != 0) flush(c);
      if ((watched[i].revents & ~POLLOUT) != 0 && !serve(c)) drop(c);
    }
    if (watched[MAX_CONNECTIONS].revents != 0) take(listening);
  }
}
