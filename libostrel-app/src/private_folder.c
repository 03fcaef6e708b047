/* The socket's folder, reached so that no other user can steer it: the path
 * is walked from "/" one name at a time, each folder opened without
 * following a link and checked on its descriptor. Every folder on the way
 * must belong to this user or root and be closed to changes by others
 * (not writable by others, nor by a group other than this user's, unless
 * sticky as /tmp is); a link on the way is followed only when this user or
 * root owns it. The socket's own folder is made when missing (with the
 * folders missing above it, each 0700), may not be a link, and must belong
 * to this user with no permission for anybody else. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"

#define FOLDER_FLAGS (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
#define MAX_LINKS 40

/* Where the walk is: the folder open in `fd`, its path for messages, and
 * the names still to walk, separated by slashes. */
struct walk {
  int fd;
  char at[PATH_MAX];
  char rest[PATH_MAX];
  int links;
};

static int trusted_owner(uid_t owner) { return owner == geteuid() || owner == 0; }

/* Takes the next name off `walk->rest` into `name`; 0 when none is left. */
static int next_name(struct walk* walk, char* name, size_t size) {
  for (;;) {
    char* rest = walk->rest;
    while (*rest == '/') ++rest;
    if (*rest == '\0') return 0;
    size_t length = strcspn(rest, "/");
    if (length >= size) length = size - 1; /* a name over NAME_MAX fails to open */
    memcpy(name, rest, length);
    name[length] = '\0';
    memmove(walk->rest, rest + strcspn(rest, "/"), strlen(rest + strcspn(rest, "/")) + 1);
    if (strcmp(name, ".") != 0) return 1;
  }
}

static int last_name(const struct walk* walk) {
  return walk->rest[strspn(walk->rest, "/")] == '\0';
}

static void step_path(struct walk* walk, const char* name) {
  const size_t length = strlen(walk->at);
  if (strcmp(name, "..") == 0) {
    char* slash = strrchr(walk->at, '/');
    if (slash != NULL) slash[slash == walk->at ? 1 : 0] = '\0';
    return;
  }
  /* For messages only: a path too long to keep is left as it is. */
  (void)snprintf(walk->at + length, sizeof walk->at - length, "%s%s", length > 1 ? "/" : "", name);
}

static int check(const struct walk* walk, const struct stat* status, char* reason,
                 size_t reason_size) {
  const mode_t mode = status->st_mode;
  if (!S_ISDIR(mode)) FAIL(ENOTDIR, "%s is not a folder", walk->at);
  if (!trusted_owner(status->st_uid)) {
    FAIL(EPERM,
         "the folder %s belongs to user id %ld, not to this user (%ld) or root: keep the socket "
         "in a folder of your own",
         walk->at, (long)status->st_uid, (long)geteuid());
  }
  const int sticky = (mode & S_ISVTX) != 0;
  if (!sticky &&
      ((mode & S_IWOTH) != 0 || ((mode & S_IWGRP) != 0 && status->st_gid != getegid()))) {
    FAIL(EPERM,
         "the folder %s may be changed by other users (mode %04o), who could replace what lies "
         "below it: keep the socket below folders only you and root may change",
         walk->at, (unsigned)(mode & 07777));
  }
  return 0;
}

/* Follows the link `name` in the current folder: its text goes before the
 * names still to walk. */
static int follow(struct walk* walk, const char* name, const struct stat* link, char* reason,
                  size_t reason_size) {
  if (!trusted_owner(link->st_uid)) {
    FAIL(EPERM, "%s is a symbolic link of user id %ld, not of this user or root; not following it",
         walk->at, (long)link->st_uid);
  }
  char target[PATH_MAX];
  const ssize_t length = readlinkat(walk->fd, name, target, sizeof target);
  if (length < 0 || ++walk->links > MAX_LINKS) {
    FAIL(length < 0 ? errno : ELOOP, "cannot follow the link %s: %s", walk->at,
         strerror(length < 0 ? errno : ELOOP));
  }
  const size_t rest = strlen(walk->rest);
  if ((size_t)length + 1 + rest + 1 > sizeof walk->rest) {
    FAIL(ENAMETOOLONG, "cannot follow the link %s: %s", walk->at, strerror(ENAMETOOLONG));
  }
  memmove(walk->rest + length + 1, walk->rest, rest + 1);
  memcpy(walk->rest, target, (size_t)length);
  walk->rest[length] = '/';
  if (target[0] != '/') {
    char* slash = strrchr(walk->at, '/'); /* back to the folder that holds the link */
    if (slash != NULL) slash[slash == walk->at ? 1 : 0] = '\0';
    return 0;
  }
  const int root = open("/", FOLDER_FLAGS);
  if (root < 0) FAIL(errno, "cannot open the folder /: %s", strerror(errno));
  close(walk->fd);
  walk->fd = root;
  strcpy(walk->at, "/");
  return 0;
}

/* Opens `name` below the current folder, making it (0700) when it is
 * missing. 1 when opened, 0 when a link was followed instead, -1 on
 * failure. */
static int enter(struct walk* walk, const char* name, char* reason, size_t reason_size) {
  const int last = last_name(walk);
  int made = 0;
  int fd = openat(walk->fd, name, FOLDER_FLAGS);
  if (fd < 0 && errno == ENOENT && strcmp(name, "..") != 0) {
    made = mkdirat(walk->fd, name, 0700) == 0;
    if (!made && errno != EEXIST) {
      const int error = errno;
      step_path(walk, name);
      FAIL(error, "cannot make the folder %s: %s", walk->at, strerror(error));
    }
    fd = openat(walk->fd, name, FOLDER_FLAGS);
  }
  const int error = errno;
  step_path(walk, name);
  if (fd < 0) {
    struct stat link;
    if (fstatat(walk->fd, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
      FAIL(error, "cannot open the folder %s: %s", walk->at, strerror(error));
    }
    if (last) FAIL(EPERM, "the folder %s is a symbolic link; give its real path", walk->at);
    return follow(walk, name, &link, reason, reason_size);
  }
  close(walk->fd);
  walk->fd = fd;
  /* Made now: 0700 whatever the umask. */
  if (made && fchmod(fd, 0700) != 0) {
    FAIL(errno, "cannot set the mode of %s: %s", walk->at, strerror(errno));
  }
  struct stat status;
  if (fstat(fd, &status) != 0) FAIL(errno, "cannot look at %s: %s", walk->at, strerror(errno));
  return check(walk, &status, reason, reason_size) == 0 ? 1 : -1;
}

int ostrel_app_open_private_folder(const char* folder, char* reason, size_t reason_size) {
  struct walk walk = {.fd = open("/", FOLDER_FLAGS), .at = "/", .links = 0};
  if (walk.fd < 0) FAIL(errno, "cannot open the folder /: %s", strerror(errno));
  char here[PATH_MAX] = "";
  if (folder[0] != '/' && getcwd(here, sizeof here) == NULL) {
    const int error = errno;
    close(walk.fd);
    FAIL(error, "cannot tell the working folder: %s", strerror(error));
  }
  const size_t here_length = strlen(here);
  const size_t folder_length = strlen(folder);
  if (here_length + 1 + folder_length + 1 > sizeof walk.rest) {
    close(walk.fd);
    FAIL(ENAMETOOLONG, "the working folder's path is too long");
  }
  memcpy(walk.rest, here, here_length);
  walk.rest[here_length] = '/';
  memcpy(walk.rest + here_length + 1, folder, folder_length + 1);
  struct stat status;
  memset(&status, 0, sizeof status);
  int result = -1;
  if (fstat(walk.fd, &status) != 0) {
    ostrel_app_say(reason, reason_size, "cannot look at the folder /: %s", strerror(errno));
  } else {
    result = check(&walk, &status, reason, reason_size);
  }
  char name[NAME_MAX + 1];
  while (result == 0 && next_name(&walk, name, sizeof name)) {
    result = enter(&walk, name, reason, reason_size) < 0 ? -1 : 0;
  }
  if (result == 0 && fstat(walk.fd, &status) != 0) {
    ostrel_app_say(reason, reason_size, "cannot look at %s: %s", walk.at, strerror(errno));
    result = -1;
  }
  if (result == 0 && status.st_uid != geteuid()) {
    ostrel_app_say(reason, reason_size,
                   "the folder %s belongs to user id %ld, not to this user (%ld): keep the socket "
                   "in a folder of your own",
                   walk.at, (long)status.st_uid, (long)geteuid());
    errno = EPERM;
    result = -1;
  }
  const unsigned mode = status.st_mode & 07777;
  if (result == 0 && (mode & 077) != 0) {
    ostrel_app_say(reason, reason_size,
                   "the folder %s is open to others (mode %04o): make it 0700 (chmod 700), or "
                   "keep the socket in a private folder",
                   walk.at, mode);
    errno = EPERM;
    result = -1;
  }
  if (result == 0) return walk.fd;
  const int error = errno;
  close(walk.fd);
  errno = error;
  return -1;
}
