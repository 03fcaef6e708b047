/* Frames: a 4-byte little-endian length, then the payload. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "internal.h"
#include "ostrel/app.h"

enum { kReading, kTooLong, kNoMemory };

/* The first allocation for a payload, unless it is smaller. */
#define FIRST_CAPACITY ((size_t)4096)

void ostrel_app_decoder_init(ostrel_app_decoder* decoder) {
  memset(decoder, 0, sizeof *decoder);
  decoder->state = kReading;
}

void ostrel_app_decoder_free(ostrel_app_decoder* decoder) {
  free(decoder->buffer);
  ostrel_app_decoder_init(decoder);
}

int ostrel_app_decoder_partial(const ostrel_app_decoder* decoder) {
  return decoder->state == kReading && decoder->header_fill > 0;
}

/* Room for `needed` payload bytes, grown by doubling and never past the
 * announced length, which has passed the limit check. */
static int reserve(ostrel_app_decoder* decoder, size_t needed) {
  if (needed <= decoder->capacity) return 1;
  size_t capacity = decoder->capacity < FIRST_CAPACITY ? FIRST_CAPACITY : decoder->capacity * 2;
  if (capacity < needed) capacity = needed;
  if (capacity > decoder->expected) capacity = decoder->expected;
  unsigned char* grown = realloc(decoder->buffer, capacity);
  if (grown == NULL) return 0;
  decoder->buffer = grown;
  decoder->capacity = capacity;
  return 1;
}

static int deliver(ostrel_app_decoder* decoder) {
  decoder->payload = decoder->expected > 0 ? decoder->buffer : decoder->header;
  decoder->length = decoder->expected;
  decoder->header_fill = 0;
  decoder->fill = 0;
  return OSTREL_APP_FRAME;
}

int ostrel_app_decoder_feed(ostrel_app_decoder* decoder, const void* data, size_t size,
                            size_t* used) {
  const unsigned char* bytes = data;
  size_t at = 0;
  *used = 0;
  decoder->payload = NULL;
  decoder->length = 0;
  if (decoder->state != kReading) {
    return decoder->state == kTooLong ? OSTREL_APP_TOO_LONG : OSTREL_APP_NO_MEMORY;
  }
  if (decoder->header_fill < OSTREL_APP_HEADER_BYTES) {
    /* A buffer kept from a large frame goes before the next one begins. */
    if (decoder->header_fill == 0 && decoder->capacity > FIRST_CAPACITY * 16) {
      free(decoder->buffer);
      decoder->buffer = NULL;
      decoder->capacity = 0;
    }
    while (decoder->header_fill < OSTREL_APP_HEADER_BYTES && at < size) {
      decoder->header[decoder->header_fill++] = bytes[at++];
    }
    *used = at;
    if (decoder->header_fill < OSTREL_APP_HEADER_BYTES) return OSTREL_APP_NEED_MORE;
    const unsigned char* h = decoder->header;
    const uint32_t length =
        (uint32_t)h[0] | (uint32_t)h[1] << 8 | (uint32_t)h[2] << 16 | (uint32_t)h[3] << 24;
    if (length > OSTREL_APP_MAX_PAYLOAD) {
      decoder->state = kTooLong;
      return OSTREL_APP_TOO_LONG;
    }
    decoder->expected = length;
    decoder->fill = 0;
    if (length == 0) return deliver(decoder);
  }
  const size_t wanted = decoder->expected - decoder->fill;
  const size_t taken = size - at < wanted ? size - at : wanted;
  if (taken > 0) {
    if (!reserve(decoder, decoder->fill + taken)) {
      decoder->state = kNoMemory;
      return OSTREL_APP_NO_MEMORY;
    }
    memcpy(decoder->buffer + decoder->fill, bytes + at, taken);
    decoder->fill += taken;
    at += taken;
  }
  *used = at;
  if (decoder->fill < decoder->expected) return OSTREL_APP_NEED_MORE;
  return deliver(decoder);
}

static void encode_header(size_t length, unsigned char* header) {
  for (int i = 0; i < OSTREL_APP_HEADER_BYTES; ++i) header[i] = (unsigned char)(length >> (8 * i));
}

ssize_t ostrel_app_encode_frame(const void* payload, size_t length, unsigned char* out,
                                size_t out_size) {
  if (length > OSTREL_APP_MAX_PAYLOAD) {
    errno = EMSGSIZE;
    return -1;
  }
  if (out_size < length + OSTREL_APP_HEADER_BYTES) {
    errno = ENOBUFS;
    return -1;
  }
  encode_header(length, out);
  if (length > 0) memcpy(out + OSTREL_APP_HEADER_BYTES, payload, length);
  return (ssize_t)(length + OSTREL_APP_HEADER_BYTES);
}

/* One write of what is left of the two pieces: sendmsg on a socket, so
 * that a gone peer gives EPIPE rather than SIGPIPE; writev on anything else. */
static ssize_t write_pieces(int fd, struct iovec* pieces, int count) {
  struct msghdr message;
  memset(&message, 0, sizeof message);
  message.msg_iov = pieces;
  message.msg_iovlen = count;
  const ssize_t written = sendmsg(fd, &message, ostrel_app_send_flags());
  if (written >= 0 || errno != ENOTSOCK) return written;
  return writev(fd, pieces, count);
}

int ostrel_app_write_frame(int fd, const void* payload, size_t length) {
  if (length > OSTREL_APP_MAX_PAYLOAD) {
    errno = EMSGSIZE;
    return -1;
  }
  unsigned char header[OSTREL_APP_HEADER_BYTES];
  encode_header(length, header);
  struct iovec pieces[2] = {{.iov_base = header, .iov_len = sizeof header},
                            {.iov_base = (void*)payload, .iov_len = length}};
  struct iovec* next = pieces;
  int count = length > 0 ? 2 : 1;
  while (count > 0) {
    const ssize_t written = write_pieces(fd, next, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return -1;
    }
    size_t done = (size_t)written;
    while (count > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = (unsigned char*)next->iov_base + done;
      next->iov_len -= done;
    }
  }
  return 0;
}
