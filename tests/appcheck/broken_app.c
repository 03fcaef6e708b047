/* An application server for the checker's tests that does one thing wrong,
 * chosen by its first argument, and everything else right:
 *
 *   broken_app MODE SOCKET
 *
 *   none          nothing wrong
 *   open-folder   leaves its socket's folder open to others (0755)
 *   no-stale      refuses to start over a socket left behind, and leaves
 *                 its own behind when killed
 *   hello-first   closes a connection whose first message is not "hello"
 *   short-limit   refuses a frame of exactly 1 MiB (takes the limit as
 *                 exclusive)
 *   one-at-a-time serves one connection at a time
 *   cut-writes    answers "ping" with 512 KiB in one non-blocking send,
 *                 whatever it takes
 *   no-peer-check serves processes of other users
 *   probe-kills   exits when a connection closes before its first byte
 *   cut-kills     exits when a connection closes inside a frame
 *
 * It answers {"type":"ping"} with {"type":"pong"}, and nothing else.
 * SIGTERM ends it at once; it never removes its socket itself.
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

static const char* mode = "none";

static int is(const char* name) { return strcmp(mode, name) == 0; }

struct connection {
  int fd;
  int frames; /* whole frames received */
  ostrel_app_decoder decoder;
};

static int listen_at(const char* path) {
  char folder[OSTREL_APP_MAX_SOCKET_PATH + 1];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (slash != NULL) *slash = '\0';
  if (mkdir(folder, 0700) != 0 && errno != EEXIST) return -1;
  if (!is("no-stale")) unlink(path);
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
      bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 16) != 0) {
    perror("listen");
    return -1;
  }
  if (is("open-folder")) chmod(folder, 0755);
  return fd;
}

static int take(int listener) {
  int fd = accept(listener, NULL, NULL);
  if (fd < 0) return -1;
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  uid_t peer;
  if (!is("no-peer-check") && (ostrel_app_peer_user(fd, &peer) != 0 || peer != geteuid())) {
    close(fd);
    return -1;
  }
  return fd;
}

static void answer(struct connection* c) {
  if (!is("cut-writes")) {
    (void)ostrel_app_write_frame(c->fd, "{\"type\":\"pong\"}", 15);
    return;
  }
  const size_t length = 512 * 1024;
  unsigned char* frame = malloc(length + OSTREL_APP_HEADER_BYTES);
  char* text = (char*)frame + OSTREL_APP_HEADER_BYTES;
  memset(text, 'p', length);
  memcpy(text, "{\"type\":\"pong\",\"p\":\"", 20);
  memcpy(text + length - 2, "\"}", 2);
  ostrel_app_encode_frame(text, length, frame, length + OSTREL_APP_HEADER_BYTES);
  fcntl(c->fd, F_SETFL, O_NONBLOCK);
  (void)send(c->fd, frame, length + OSTREL_APP_HEADER_BYTES, 0);
  fcntl(c->fd, F_SETFL, 0);
  free(frame);
}

/* Reads once; 0 when the connection is to be closed. */
static int serve(struct connection* c) {
  unsigned char bytes[65536];
  const ssize_t n = read(c->fd, bytes, sizeof bytes);
  if (n <= 0) {
    if (is("probe-kills") && c->frames == 0 && !ostrel_app_decoder_partial(&c->decoder)) exit(3);
    if (is("cut-kills") && ostrel_app_decoder_partial(&c->decoder)) exit(3);
    return 0;
  }
  for (size_t at = 0; at < (size_t)n;) {
    size_t used;
    const int found = ostrel_app_decoder_feed(&c->decoder, bytes + at, (size_t)n - at, &used);
    at += used;
    if (found == OSTREL_APP_NEED_MORE) continue;
    if (found != OSTREL_APP_FRAME) return 0;
    const char* text = (const char*)c->decoder.payload;
    const size_t length = c->decoder.length;
    if (is("short-limit") && length >= OSTREL_APP_MAX_PAYLOAD) return 0;
    const int hello = length >= 15 && memcmp(text, "{\"type\":\"hello\"", 15) == 0;
    if (is("hello-first") && c->frames == 0 && !hello) return 0;
    ++c->frames;
    if (length == 15 && memcmp(text, "{\"type\":\"ping\"}", 15) == 0) answer(c);
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: broken_app MODE SOCKET\n");
    return 2;
  }
  mode = argv[1];
  signal(SIGPIPE, SIG_IGN);
  const int listener = listen_at(argv[2]);
  if (listener < 0) return 1;
  struct connection connections[MAX_CONNECTIONS];
  for (int i = 0; i < MAX_CONNECTIONS; ++i) connections[i].fd = -1;
  for (;;) {
    struct pollfd watched[MAX_CONNECTIONS + 1];
    int busy = 0;
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
      watched[i] = (struct pollfd){connections[i].fd, POLLIN, 0};
      busy |= connections[i].fd >= 0;
    }
    const int taking = !(is("one-at-a-time") && busy);
    watched[MAX_CONNECTIONS] = (struct pollfd){taking ? listener : -1, POLLIN, 0};
    if (poll(watched, MAX_CONNECTIONS + 1, -1) < 0) continue;
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
      struct connection* c = &connections[i];
      if (c->fd < 0 || watched[i].revents == 0 || serve(c)) continue;
      close(c->fd);
      ostrel_app_decoder_free(&c->decoder);
      c->fd = -1;
    }
    if (watched[MAX_CONNECTIONS].revents == 0) continue;
    const int fd = take(listener);
    int slot = 0;
    while (slot < MAX_CONNECTIONS && connections[slot].fd >= 0) ++slot;
    if (fd >= 0 && slot == MAX_CONNECTIONS) close(fd);
    if (fd < 0 || slot == MAX_CONNECTIONS) continue;
    connections[slot] = (struct connection){.fd = fd, .frames = 0};
    ostrel_app_decoder_init(&connections[slot].decoder);
  }
}
