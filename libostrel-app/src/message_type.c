/* A message's type by the host's rule: the string value of the member
 * "type" of a payload that is a JSON object, escapes decoded, the last
 * "type" counting. The whole payload is validated first, as the host's
 * parser does: UTF-8, the JSON grammar, nesting of at most 1024 arrays and
 * objects, integers that fit 64 bits (signed when negative), and numbers
 * that do not round to infinity as doubles. One pass, no recursion, no
 * allocation. */
#include <errno.h>
#include <string.h>

#include "ostrel/app.h"

#define MAX_DEPTH 1024

/* 2^1024 - 2^970, halfway between the largest double and the next power
 * of two: a number from here up rounds to infinity. */
static const char kOverflow[] =
    "1797693134862315807937289714053034150799341327100378269361737789804449682927647509466490179775"
    "8720709633028641669288791094655554785194040263065748867150582068190890200070838367627385484581"
    "7711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699"
    "508093042880177904174497792";

struct reader {
  const unsigned char* at;
  const unsigned char* end;
};

static int is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

static void skip_space(struct reader* r) {
  while (r->at < r->end && is_space(*r->at)) ++r->at;
}

static int is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

static int hex_value(unsigned char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* The four hex digits at `p` (at least four bytes before `end`), or -1. */
static long hex4(const unsigned char* p, const unsigned char* end) {
  if (end - p < 4) return -1;
  long value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(p[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

/* The length of the well-formed UTF-8 character of two or more bytes at
 * `p`, or 0. */
static size_t utf8_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    if (c == 0xe0) low = 0xa0;  /* no overlong form */
    if (c == 0xed) high = 0x9f; /* no surrogate */
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f; /* nothing past U+10FFFF */
  } else {
    return 0;
  }
  if ((size_t)(end - p) < length || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  }
  return length;
}

/* Appends the UTF-8 form of `code` to `out` (room for `size`) at `*fill`,
 * counting what does not fit too. */
static void put_code(unsigned long code, char* out, size_t size, size_t* fill) {
  unsigned char bytes[4];
  size_t count;
  if (code < 0x80) {
    bytes[0] = (unsigned char)code;
    count = 1;
  } else if (code < 0x800) {
    bytes[0] = (unsigned char)(0xc0 | code >> 6);
    bytes[1] = (unsigned char)(0x80 | (code & 0x3f));
    count = 2;
  } else if (code < 0x10000) {
    bytes[0] = (unsigned char)(0xe0 | code >> 12);
    bytes[1] = (unsigned char)(0x80 | ((code >> 6) & 0x3f));
    bytes[2] = (unsigned char)(0x80 | (code & 0x3f));
    count = 3;
  } else {
    bytes[0] = (unsigned char)(0xf0 | code >> 18);
    bytes[1] = (unsigned char)(0x80 | ((code >> 12) & 0x3f));
    bytes[2] = (unsigned char)(0x80 | ((code >> 6) & 0x3f));
    bytes[3] = (unsigned char)(0x80 | (code & 0x3f));
    count = 4;
  }
  for (size_t i = 0; i < count; ++i, ++*fill) {
    if (*fill < size) out[*fill] = (char)bytes[i];
  }
}

/* Reads the string whose opening quote is at `r->at`, decoding it into
 * `out` (room for `size` bytes; NULL for none) and setting `*length` to its
 * decoded length. 0, or -1 when it is not a valid string. */
static int read_string(struct reader* r, char* out, size_t size, size_t* length) {
  const unsigned char* p = r->at + 1;
  size_t fill = 0;
  if (out == NULL) size = 0;
  for (;;) {
    if (p >= r->end) return -1;
    const unsigned char c = *p;
    if (c == '"') break;
    if (c < 0x20) return -1;
    if (c >= 0x80) {
      const size_t n = utf8_length(p, r->end);
      if (n == 0) return -1;
      for (size_t i = 0; i < n; ++i, ++fill) {
        if (fill < size) out[fill] = (char)p[i];
      }
      p += n;
      continue;
    }
    if (c != '\\') {
      if (fill < size) out[fill] = (char)c;
      ++fill;
      ++p;
      continue;
    }
    if (p + 1 >= r->end) return -1;
    static const char kEscapes[] = "\"\"\\\\//b\bf\fn\nr\rt\t";
    const char* escape = p[1] == 'u' ? NULL : strchr(kEscapes, p[1]);
    if (p[1] != 'u') {
      if (escape == NULL || p[1] == '\0' || (escape - kEscapes) % 2 != 0) return -1;
      if (fill < size) out[fill] = escape[1];
      ++fill;
      p += 2;
      continue;
    }
    long code = hex4(p + 2, r->end);
    p += 6;
    if (code < 0 || (code >= 0xdc00 && code <= 0xdfff)) return -1;
    if (code >= 0xd800 && code <= 0xdbff) {
      if (r->end - p < 2 || p[0] != '\\' || p[1] != 'u') return -1;
      const long low = hex4(p + 2, r->end);
      if (low < 0xdc00 || low > 0xdfff) return -1;
      code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
      p += 6;
    }
    put_code((unsigned long)code, out, size, &fill);
  }
  r->at = p + 1;
  *length = fill;
  return 0;
}

/* Whether the significant digits `digits` (`count` of them, the first not
 * 0) as 0.digits times 10^309 reach kOverflow. */
static int reaches_overflow(const unsigned char* const* pieces, const size_t* sizes) {
  /* The digits come in two pieces (before and after a decimal point). */
  size_t k = 0;
  for (int piece = 0; piece < 2; ++piece) {
    for (size_t i = 0; i < sizes[piece]; ++i, ++k) {
      const unsigned char limit = (unsigned char)(k < sizeof kOverflow - 1 ? kOverflow[k] : '0');
      if (pieces[piece][i] != limit) return pieces[piece][i] > limit;
    }
  }
  return k >= sizeof kOverflow - 1; /* equal so far: reaching it rounds up too */
}

/* Reads a number; 0, or -1 when it is not one or is past the limits. */
static int read_number(struct reader* r) {
  const unsigned char* p = r->at;
  const int negative = *p == '-';
  if (negative) ++p;
  const unsigned char* whole = p;
  if (p >= r->end || !is_digit(*p)) return -1;
  if (*p == '0') {
    ++p;
  } else {
    while (p < r->end && is_digit(*p)) ++p;
  }
  const size_t whole_count = (size_t)(p - whole);
  const unsigned char* fraction = p;
  size_t fraction_count = 0;
  int integer = 1;
  if (p < r->end && *p == '.') {
    integer = 0;
    fraction = ++p;
    while (p < r->end && is_digit(*p)) ++p;
    fraction_count = (size_t)(p - fraction);
    if (fraction_count == 0) return -1;
  }
  long long exponent = 0;
  if (p < r->end && (*p == 'e' || *p == 'E')) {
    integer = 0;
    ++p;
    int sign = 1;
    if (p < r->end && (*p == '+' || *p == '-')) sign = *p++ == '-' ? -1 : 1;
    if (p >= r->end || !is_digit(*p)) return -1;
    for (; p < r->end && is_digit(*p); ++p) {
      if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
    }
    exponent *= sign;
  }
  if (p < r->end && !is_space(*p) && *p != ',' && *p != ']' && *p != '}') return -1;
  r->at = p;
  if (integer) {
    /* 64 bits: at most 18446744073709551615, or -9223372036854775808. */
    const char* limit = negative ? "9223372036854775808" : "18446744073709551615";
    const size_t limit_count = strlen(limit);
    if (whole_count != limit_count) return whole_count < limit_count ? 0 : -1;
    return memcmp(whole, limit, limit_count) <= 0 ? 0 : -1;
  }
  /* The significant digits, and the power of ten of the first. */
  const unsigned char* pieces[2] = {whole, fraction};
  size_t sizes[2] = {whole_count, fraction_count};
  long long scale = (long long)whole_count;
  while (sizes[0] > 0 && pieces[0][0] == '0') ++pieces[0], --sizes[0], --scale;
  if (sizes[0] == 0) {
    while (sizes[1] > 0 && pieces[1][0] == '0') ++pieces[1], --sizes[1], --scale;
    pieces[0] = pieces[1];
    sizes[0] = sizes[1];
    sizes[1] = 0;
  }
  if (sizes[0] == 0) return 0; /* zero, whatever its exponent */
  const long long place = scale + exponent;
  if (place != 309) return place < 309 ? 0 : -1;
  return reaches_overflow(pieces, sizes) ? -1 : 0;
}

static int read_word(struct reader* r, const char* word) {
  const size_t length = strlen(word);
  if ((size_t)(r->end - r->at) < length || memcmp(r->at, word, length) != 0) return -1;
  r->at += length;
  if (r->at < r->end && !is_space(*r->at) && *r->at != ',' && *r->at != ']' && *r->at != '}') {
    return -1;
  }
  return 0;
}

/* Where the last "type" of the top-level object stands: its opening quote;
 * NULL when there is none, or when the last is not a string. */
struct scan {
  struct reader r;
  unsigned char in_object[MAX_DEPTH]; /* per open level: an object (1) or an array (0) */
  int depth;
  int type_member; /* the value about to be read is the top level's "type" */
  const unsigned char* type;
};

/* Reads a value, or opens a container. 1 when a value was read whole, 0
 * when a container was opened (its first member or element comes next),
 * -1 when it is not valid. */
static int read_value(struct scan* s) {
  struct reader* r = &s->r;
  if (r->at >= r->end) return -1;
  const unsigned char c = *r->at;
  if (s->type_member) s->type = c == '"' ? r->at : NULL;
  s->type_member = 0;
  if (c == '{' || c == '[') {
    if (s->depth == MAX_DEPTH) return -1;
    s->in_object[s->depth++] = c == '{';
    ++r->at;
    skip_space(r);
    if (r->at < r->end && *r->at == (c == '{' ? '}' : ']')) {
      ++r->at;
      --s->depth;
      return 1;
    }
    return 0;
  }
  size_t ignored;
  const int result = c == '"'                    ? read_string(r, NULL, 0, &ignored)
                     : c == 't'                  ? read_word(r, "true")
                     : c == 'f'                  ? read_word(r, "false")
                     : c == 'n'                  ? read_word(r, "null")
                     : (c == '-' || is_digit(c)) ? read_number(r)
                                                 : -1;
  return result == 0 ? 1 : -1;
}

/* After a value: closes what it ends, and reads the comma before the next.
 * 1 when the whole text has been read, 0 when a member or an element comes
 * next, -1 when it is not valid. */
static int after_value(struct scan* s) {
  struct reader* r = &s->r;
  for (;;) {
    skip_space(r);
    if (s->depth == 0) return r->at == r->end ? 1 : -1;
    if (r->at >= r->end) return -1;
    if (*r->at == (s->in_object[s->depth - 1] ? '}' : ']')) {
      ++r->at;
      --s->depth;
      continue;
    }
    if (*r->at != ',') return -1;
    ++r->at;
    return 0;
  }
}

/* A member's name and its colon. */
static int read_name(struct scan* s) {
  struct reader* r = &s->r;
  skip_space(r);
  if (r->at >= r->end || *r->at != '"') return -1;
  char name[5];
  size_t length;
  if (read_string(r, name, sizeof name, &length) != 0) return -1;
  s->type_member = s->depth == 1 && length == 4 && memcmp(name, "type", 4) == 0;
  skip_space(r);
  if (r->at >= r->end || *r->at != ':') return -1;
  ++r->at;
  return 0;
}

/* 0 when the whole text is JSON the host reads, -1 otherwise. */
static int validate(struct scan* s) {
  for (;;) {
    skip_space(&s->r);
    const int value = read_value(s);
    if (value < 0) return -1;
    if (value > 0) {
      const int next = after_value(s);
      if (next != 0) return next > 0 ? 0 : -1;
    }
    if (s->in_object[s->depth - 1] && read_name(s) != 0) return -1;
  }
}

ssize_t ostrel_app_message_type(const void* payload, size_t length, char* buffer, size_t size) {
  if (payload == NULL) {
    errno = EBADMSG;
    return -1;
  }
  static const struct scan kFresh;
  struct scan scan = kFresh;
  scan.r.at = payload;
  scan.r.end = (const unsigned char*)payload + length;
  if (validate(&scan) != 0) {
    errno = EBADMSG;
    return -1;
  }
  if (scan.type == NULL) {
    errno = ENOENT;
    return -1;
  }
  struct reader value = {.at = scan.type, .end = scan.r.end};
  size_t decoded = 0;
  (void)read_string(&value, buffer, size, &decoded);
  if (decoded < size) buffer[decoded] = '\0';
  return (ssize_t)decoded;
}
