/* An application server in C on libostrel-app: it listens where the host
 * connects (or at the path given as its argument), serves any number of
 * hosts at once in one thread, and answers every message with
 * {"type":"received","bytes":N}. Its writes never wait: what a host does
 * not read yet is queued, and a host with 1 MiB queued is not read until
 * it reads, so that one host that stops reading neither stalls the others
 * nor grows the server's memory. It prints one line per event and stops on
 * SIGINT or SIGTERM, removing its socket.
 *
 *   cc c_app.c $(pkg-config --cflags --libs ostrel-app) -o c_app
 *   ./c_app [SOCKET]
 */
#include <errno.h>
#include <fcntl.h>
#include <ostrel/app.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MAX_HOSTS 64
#define MAX_QUEUED ((size_t)1024 * 1024) /* a host with this much unread is not read */

static int wake[2] = {-1, -1}; /* the signal handler writes here */

/* Only write(2), which is safe in a handler; errno is kept for the code
 * the signal interrupted. */
static void on_signal(int number) {
  const int saved = errno;  // NOLINT(bugprone-signal-handler)
  (void)!write(wake[1], &number, 1);
  errno = saved;  // NOLINT(bugprone-signal-handler)
}

struct host {
  int fd;
  ostrel_app_decoder decoder;
  unsigned char* queued; /* frames written in part or not yet */
  size_t queued_size, sent, capacity;
};

static void drop(struct host* host, const char* why) {
  printf("host %d: %s\n", host->fd, why);
  close(host->fd);
  ostrel_app_decoder_free(&host->decoder);
  free(host->queued);
  *host = (struct host){.fd = -1};
}

/* Queues the frame of `payload` for the host; 0, or -1 out of memory. */
static int queue(struct host* host, const char* payload, size_t length) {
  const size_t needed = host->queued_size + length + OSTREL_APP_HEADER_BYTES;
  if (needed > host->capacity) {
    const size_t capacity = needed > 2 * host->capacity ? needed : 2 * host->capacity;
    unsigned char* grown = realloc(host->queued, capacity);
    if (grown == NULL) return -1;
    host->queued = grown;
    host->capacity = capacity;
  }
  host->queued_size += (size_t)ostrel_app_encode_frame(
      payload, length, host->queued + host->queued_size, length + OSTREL_APP_HEADER_BYTES);
  return 0;
}

/* Writes what the socket takes now without waiting. */
static void flush(struct host* host) {
  while (host->sent < host->queued_size) {
    const ssize_t n = write(host->fd, host->queued + host->sent, host->queued_size - host->sent);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      drop(host, "not reading");
      return;
    }
    host->sent += (size_t)n;
  }
  host->sent = host->queued_size = 0;
}

/* Reads what the host sent; answers each whole message. */
static void serve(struct host* host) {
  unsigned char bytes[65536];
  const ssize_t n = read(host->fd, bytes, sizeof bytes);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    drop(host, ostrel_app_decoder_partial(&host->decoder) ? "gone inside a frame" : "gone");
    return;
  }
  for (size_t at = 0; at < (size_t)n;) {
    size_t used;
    const int found = ostrel_app_decoder_feed(&host->decoder, bytes + at, (size_t)n - at, &used);
    at += used;
    if (found == OSTREL_APP_NEED_MORE) continue;
    if (found != OSTREL_APP_FRAME) {
      drop(host, found == OSTREL_APP_TOO_LONG ? "sent a frame over 1 MiB" : "out of memory");
      return;
    }
    const int shown = host->decoder.length < 60 ? (int)host->decoder.length : 60;
    printf("host %d: %zu bytes: %.*s\n", host->fd, host->decoder.length, shown,
           (const char*)host->decoder.payload);
    char answer[64];
    const int length = snprintf(answer, sizeof answer, "{\"type\":\"received\",\"bytes\":%zu}",
                                host->decoder.length);
    if (queue(host, answer, (size_t)length) != 0) {
      drop(host, "out of memory");
      return;
    }
  }
  flush(host);
}

int main(int argc, char** argv) {
  char path[OSTREL_APP_MAX_SOCKET_PATH + 1];
  if (argc > 1) {
    snprintf(path, sizeof path, "%s", argv[1]);
  } else if (ostrel_app_socket_path(path, sizeof path) < 0) {
    fprintf(stderr, "error: no home folder: set HOME or %s\n", OSTREL_APP_SOCKET_VARIABLE);
    return 1;
  }
  ostrel_app_listener listener;
  char why[256];
  if (ostrel_app_listen(&listener, path, why, sizeof why) != 0) {
    fprintf(stderr, "error: %s\n", why);
    return 1;
  }
  if (pipe(wake) != 0 || fcntl(wake[0], F_SETFD, FD_CLOEXEC) != 0 ||
      fcntl(wake[1], F_SETFD, FD_CLOEXEC) != 0 || fcntl(wake[1], F_SETFL, O_NONBLOCK) != 0) {
    perror("pipe");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  setvbuf(stdout, NULL, _IOLBF, 0);
  printf("listening on %s\n", path);

  struct host hosts[MAX_HOSTS];
  for (int i = 0; i < MAX_HOSTS; ++i) hosts[i] = (struct host){.fd = -1};
  for (;;) {
    struct pollfd watched[MAX_HOSTS + 2] = {{.fd = wake[0], .events = POLLIN},
                                            {.fd = listener.fd, .events = POLLIN}};
    for (int i = 0; i < MAX_HOSTS; ++i) {
      const size_t unread = hosts[i].queued_size - hosts[i].sent;
      watched[i + 2] = (struct pollfd){
          hosts[i].fd, (short)((unread < MAX_QUEUED ? POLLIN : 0) | (unread > 0 ? POLLOUT : 0)), 0};
    }
    if (poll(watched, MAX_HOSTS + 2, -1) < 0 && errno != EINTR) break;
    if (watched[0].revents != 0) break; /* SIGINT or SIGTERM */
    for (int i = 0; i < MAX_HOSTS; ++i) {
      if (hosts[i].fd >= 0 && (watched[i + 2].revents & POLLOUT) != 0) flush(&hosts[i]);
      if (hosts[i].fd >= 0 && (watched[i + 2].revents & ~POLLOUT) != 0) serve(&hosts[i]);
    }
    if (watched[1].revents == 0) continue;
    const int fd = ostrel_app_accept(listener.fd, 0);
    if (fd < 0) {
      if (errno == EPERM) printf("refused a process of another user\n");
      continue;
    }
    int free_slot = 0;
    while (free_slot < MAX_HOSTS && hosts[free_slot].fd >= 0) ++free_slot;
    if (free_slot == MAX_HOSTS) {
      close(fd); /* the host retries every 2 s */
      continue;
    }
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
      close(fd);
      continue;
    }
    hosts[free_slot] = (struct host){.fd = fd};
    ostrel_app_decoder_init(&hosts[free_slot].decoder);
    printf("host %d: connected\n", fd);
  }
  for (int i = 0; i < MAX_HOSTS; ++i) {
    if (hosts[i].fd >= 0) drop(&hosts[i], "closed: stopping");
  }
  ostrel_app_listener_close(&listener);
  printf("stopped\n");
  return 0;
}
