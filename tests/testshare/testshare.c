// A share that misbehaves on command: a FUSE view of a backing folder whose lookups and
// reads can be delayed, hung, failed or made to vanish, and whose writes can be refused
// or run out of space, by writing lines to "/.control". Used by the fault tests, which
// run the downloader under Wine against it (as a source, and as a destination disk).
//
//   testshare BACKING MOUNTPOINT      (stays in the foreground; SIGTERM unmounts)
//
// Commands, one per line (NAME is relative to the share root, or * for every file):
//   delay-read NAME MS   hang-lookup NAME   hang-read NAME   fail-read NAME
//   release NAME|*       shrink NAME SIZE   vanish   return   reset
//   read-only NAME|*     (NAME and everything below it refuse changes: EACCES)
//   space BYTES          (writes that grow files by more than this fail: ENOSPC;
//                         every grow uses some up; "reset" makes space unlimited)
//   fail-flush NAME      (fsync fails: EIO)     refuse-time NAME (setting times: EPERM)
//   power-cut            (what was written since a file's last fsync turns to zeros,
//                         as after a power cut; the lost bytes add to "cut-bytes")
//   flip-byte NAME AT    (every write to NAME that covers its byte AT stores that byte
//                         inverted, while in force: a copy that keeps coming out wrong)
//   flip-byte-once NAME AT  (the same for the next such write only, then gone)
// Reading /.control lists the faults in force, then "bytes-read N": what was read from
// files since the start or the last "reset", "flushes N", "cut-bytes N",
// "most-readers N": the most open files (handles) with a read under way at once,
// "files-reading N": how many have one now, and "flips N" (bytes stored inverted).
//
// Hangs sit in getattr, never in open: the wineserver itself opens every file a Windows
// program opens, so a sleeping open would stall every Wine process, while a lookup
// runs in the calling thread only.

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#define CONTROL "/.control"
#define MAX_RULES 64
// Every blocked request holds a worker thread; the control file must still get one.
#define MAX_THREADS "1000"
// How often a blocked request looks whether the kernel interrupted it.
#define POLL_MS 20

enum kind {
  DELAY_READ,
  HANG_LOOKUP,
  HANG_READ,
  FAIL_READ,
  READ_ONLY,
  FAIL_FLUSH,
  REFUSE_TIME,
  FLIP_BYTE,
  FLIP_BYTE_ONCE,
  KIND_COUNT
};
static const char *const kind_names[] = {"delay-read", "hang-lookup", "hang-read", "fail-read",
                                         "read-only",  "fail-flush",  "refuse-time",
                                         "flip-byte",  "flip-byte-once"};

struct rule {
  unsigned long id;  // what a blocked request waits on
  enum kind kind;
  char path[PATH_MAX];  // "/a/b" as libfuse names it, or "*"
  long ms;  // delay-read: the delay; flip-byte: the byte's offset in the file
};

static char backing[PATH_MAX];
static char mountpoint[PATH_MAX];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t control_lock = PTHREAD_MUTEX_INITIALIZER;  // one command at a time
// Broadcast on every command. Waits on it use CLOCK_MONOTONIC (set in main): with the
// default clock a monotonic deadline lies in 1970, every wait returned at once, and
// each delayed read spun a core until its time was up.
static pthread_cond_t changed;
static struct rule rules[MAX_RULES];
static int rule_count;
static unsigned long last_id;
static bool vanished;
static long long space_left = -1;  // bytes writes may still add; -1: no limit
static long long bytes_read;        // read from files since the start or the last reset
static long long flushes;           // fsyncs since the start or the last reset
static long long cut_bytes;         // zeroed by power cuts since then
// Open files with a read under way now (the kernel may split one read into several
// requests: those count once), and the most there were at once since the last reset.
#define MAX_READERS 64
static struct reader {
  uint64_t fh;
  int requests;
} readers[MAX_READERS];
static int reader_count, most_readers;
static long long flips;             // bytes stored inverted since then

// Per file, the bytes written since its last fsync: what a power cut takes.
struct dirty {
  char path[PATH_MAX];
  long long from, to;
};
#define MAX_DIRTY 256
static struct dirty dirty[MAX_DIRTY];
static int dirty_count;

static void say(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "testshare: ");
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
}

static bool is_control(const char *path) { return strcmp(path, CONTROL) == 0; }

static int backing_path(char out[PATH_MAX], const char *path) {
  return snprintf(out, PATH_MAX, "%s%s", backing, path) < PATH_MAX ? 0 : -ENAMETOOLONG;
}

// The rule of this kind for the path, under the lock; "*" covers everything but the
// root (so that the control file can always be reached) and the control file itself.
static struct rule *find_rule(enum kind kind, const char *path) {
  if (is_control(path) || strcmp(path, "/") == 0) return NULL;
  for (int i = 0; i < rule_count; i++) {
    if (rules[i].kind == kind && (strcmp(rules[i].path, "*") == 0 || strcmp(rules[i].path, path) == 0))
      return &rules[i];
  }
  return NULL;
}

static bool rule_exists(unsigned long id) {
  for (int i = 0; i < rule_count; i++)
    if (rules[i].id == id) return true;
  return false;
}

static bool earlier(const struct timespec *a, const struct timespec *b) {
  return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

static void add_ms(struct timespec *t, long ms) {
  t->tv_sec += ms / 1000;
  t->tv_nsec += (ms % 1000) * 1000000L;
  if (t->tv_nsec >= 1000000000L) t->tv_sec++, t->tv_nsec -= 1000000000L;
}

// Blocks while the rule of this kind that caught the request stands (for a delay: at
// most its ms). A request waits on that one rule, so a release lets it go even when
// another rule matching it comes in right after. Returns -EINTR when the kernel
// interrupts the request because its caller got a signal: a hung reader must still be
// killable.
static int wait_rule(enum kind kind, const char *path) {
  pthread_mutex_lock(&lock);
  struct rule *r = find_rule(kind, path);
  if (!r) {
    pthread_mutex_unlock(&lock);
    return 0;
  }
  unsigned long id = r->id;
  struct timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  add_ms(&end, r->ms);
  int result = 0;
  while (rule_exists(id)) {
    if (fuse_interrupted()) {
      result = -EINTR;
      break;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (kind == DELAY_READ && !earlier(&now, &end)) break;
    // Sleep until the delay ends, or a poll's length for interrupts and commands.
    add_ms(&now, POLL_MS);
    if (kind == DELAY_READ && earlier(&end, &now)) now = end;
    pthread_cond_timedwait(&changed, &lock, &now);
  }
  pthread_mutex_unlock(&lock);
  return result;
}

static bool has_rule(enum kind kind, const char *path) {
  pthread_mutex_lock(&lock);
  bool found = find_rule(kind, path) != NULL;
  pthread_mutex_unlock(&lock);
  return found;
}

static bool is_vanished(void) {
  pthread_mutex_lock(&lock);
  bool v = vanished;
  pthread_mutex_unlock(&lock);
  return v;
}

// ---- commands ----

// "a.bin", "/a.bin" and "sub\a.bin" all name "/a.bin"; "*" stays "*".
static int to_path(char out[PATH_MAX], const char *name) {
  if (strcmp(name, "*") == 0) {
    strcpy(out, "*");
    return 0;
  }
  while (*name == '/' || *name == '\\') name++;
  if (!*name || snprintf(out, PATH_MAX, "/%s", name) >= PATH_MAX) return -EINVAL;
  for (char *p = out; *p; p++)
    if (*p == '\\') *p = '/';
  return 0;
}

static void remove_rules(bool (*match)(const struct rule *, const void *), const void *arg) {
  int kept = 0;
  for (int i = 0; i < rule_count; i++)
    if (!match(&rules[i], arg)) rules[kept++] = rules[i];
  rule_count = kept;
}

static bool same_rule(const struct rule *r, const void *arg) {
  const struct rule *o = arg;
  return r->kind == o->kind && strcmp(r->path, o->path) == 0;
}

static bool hang_on(const struct rule *r, const void *arg) {
  const char *path = arg;
  return (r->kind == HANG_LOOKUP || r->kind == HANG_READ) &&
         (strcmp(path, "*") == 0 || strcmp(r->path, path) == 0);
}

// Splits "NAME NUMBER" at the last space, so names may hold spaces.
static int split_number(char *args, long *number) {
  char *space = strrchr(args, ' ');
  if (!space) return -EINVAL;
  *space = '\0';
  char *end;
  errno = 0;
  *number = strtol(space + 1, &end, 10);
  return (errno || *end || end == space + 1 || *number < 0) ? -EINVAL : 0;
}

// Under the lock: every file's unflushed writes become zeros in the backing file.
static void power_cut(void) {
  static const char zeros[65536];
  for (int i = 0; i < dirty_count; i++) {
    char file[PATH_MAX];
    struct stat st;
    if (backing_path(file, dirty[i].path) || stat(file, &st) != 0) continue;
    const long long to = dirty[i].to < st.st_size ? dirty[i].to : st.st_size;
    int fd = open(file, O_WRONLY);
    if (fd < 0) continue;
    for (long long at = dirty[i].from; at < to;) {
      const size_t n = to - at < (long long)sizeof zeros ? (size_t)(to - at) : sizeof zeros;
      const ssize_t done = pwrite(fd, zeros, n, at);
      if (done <= 0) break;
      at += done;
      cut_bytes += done;
    }
    close(fd);
  }
  dirty_count = 0;
}

// Under the lock: the file at path has new bytes in [from, to).
static void mark_dirty(const char *path, long long from, long long to) {
  int i = 0;
  while (i < dirty_count && strcmp(dirty[i].path, path) != 0) i++;
  if (i == dirty_count) {
    if (dirty_count == MAX_DIRTY) return;
    dirty_count++;
    snprintf(dirty[i].path, PATH_MAX, "%s", path);
    dirty[i].from = from;
    dirty[i].to = to;
  }
  if (from < dirty[i].from) dirty[i].from = from;
  if (to > dirty[i].to) dirty[i].to = to;
}

// Applies one command line under the lock; 0 or -EINVAL.
static int run_command(char *line) {
  char *args = strchr(line, ' ');
  if (args) *args++ = '\0';
  const char *word = line;
  struct rule r = {0};
  long number = 0;

  if (strcmp(word, "reset") == 0 && !args) {
    rule_count = 0;
    vanished = false;
    space_left = -1;
    bytes_read = flushes = cut_bytes = flips = 0;
    most_readers = reader_count;
    dirty_count = 0;
    return 0;
  }
  if (strcmp(word, "power-cut") == 0 && !args) return power_cut(), 0;
  if (strcmp(word, "vanish") == 0 && !args) return vanished = true, 0;
  if (strcmp(word, "return") == 0 && !args) return vanished = false, 0;
  if (!args) return -EINVAL;
  if (strcmp(word, "release") == 0) {
    if (to_path(r.path, args)) return -EINVAL;
    remove_rules(hang_on, r.path);
    return 0;
  }
  if (strcmp(word, "shrink") == 0) {
    char file[PATH_MAX];
    if (split_number(args, &number) || to_path(r.path, args) || strcmp(r.path, "*") == 0) return -EINVAL;
    if (backing_path(file, r.path) || truncate(file, number) != 0) return -errno;
    return 0;
  }
  if (strcmp(word, "space") == 0) {
    char *end = NULL;
    errno = 0;
    long long bytes = strtoll(args, &end, 10);
    if (errno || *end || end == args || bytes < 0) return -EINVAL;
    space_left = bytes;
    return 0;
  }
  int k;
  for (k = 0; k < KIND_COUNT && strcmp(word, kind_names[k]) != 0; k++) {
  }
  if (k == KIND_COUNT) return -EINVAL;
  r.kind = (enum kind)k;
  const bool numbered = r.kind == DELAY_READ || r.kind == FLIP_BYTE || r.kind == FLIP_BYTE_ONCE;
  if (numbered && split_number(args, &number)) return -EINVAL;
  if (to_path(r.path, args)) return -EINVAL;
  r.ms = number;
  remove_rules(same_rule, &r);
  if (rule_count == MAX_RULES) return -ENOSPC;
  r.id = ++last_id;
  rules[rule_count++] = r;
  return 0;
}

// What reading the control file shows: one line per fault in force.
static char *describe(void) {
  char *text = NULL;
  size_t size = 0;
  FILE *out = open_memstream(&text, &size);
  pthread_mutex_lock(&lock);
  if (vanished) fprintf(out, "vanish\n");
  if (space_left >= 0) fprintf(out, "space %lld\n", space_left);
  fprintf(out,
          "bytes-read %lld\nflushes %lld\ncut-bytes %lld\nmost-readers %d\nfiles-reading %d\n"
          "flips %lld\n",
          bytes_read, flushes, cut_bytes, most_readers, reader_count, flips);
  for (int i = 0; i < rule_count; i++) {
    const char *name = strcmp(rules[i].path, "*") == 0 ? "*" : rules[i].path + 1;
    if (rules[i].kind == DELAY_READ || rules[i].kind == FLIP_BYTE || rules[i].kind == FLIP_BYTE_ONCE)
      fprintf(out, "%s %s %ld\n", kind_names[rules[i].kind], name, rules[i].ms);
    else
      fprintf(out, "%s %s\n", kind_names[rules[i].kind], name);
  }
  pthread_mutex_unlock(&lock);
  fclose(out);
  return text;
}

// An open control file: what it showed when opened, and a partial command line.
struct control {
  char *text;
  char line[PATH_MAX + 64];
  size_t used;
};

// Looks the file (or, for "*", every file) up once through the mount, before its
// lookups start to hang. The kernel holds a folder's lock while it looks up a name it
// has never seen (libfuse 3.14 does not pass parallel lookups on to it), so a first
// lookup that hangs would block every other new name in that folder; a known name is
// only revalidated, without the lock. (Files put behind the share after a
// "hang-lookup *" are not known yet; send the command again to cover them.)
static void make_known(const char *path) {
  char full[PATH_MAX];
  struct stat st;
  // A name that already hangs would hang the control file with it.
  if (has_rule(HANG_LOOKUP, path)) return;
  if (snprintf(full, sizeof full, "%s%s", mountpoint, path) < (int)sizeof full) lstat(full, &st);
}

static void make_all_known(const char *relative) {
  char path[PATH_MAX];
  if (snprintf(path, sizeof path, "%s%s", backing, relative) >= (int)sizeof path) return;
  DIR *d = opendir(path);
  if (!d) return;
  struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    char child[PATH_MAX];
    if (snprintf(child, sizeof child, "%s/%s", relative, e->d_name) >= (int)sizeof child) continue;
    make_known(child);
    if (e->d_type == DT_DIR) make_all_known(child);
  }
  closedir(d);
}

// ---- file system ----

// A vanished share answers lookups with ENOENT, which Wine turns into "file not found",
// the answer a downloader gets for a share that is gone; an already open file gets EIO.
static int ts_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  if (is_control(path)) {
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0666;
    st->st_nlink = 1;
    st->st_mtime = st->st_atime = st->st_ctime = time(NULL);
    return 0;
  }
  if (strcmp(path, "/") != 0 && is_vanished()) return fi ? -EIO : -ENOENT;
  int err = wait_rule(HANG_LOOKUP, path);
  if (err) return err;
  // The share may have vanished while this lookup waited.
  if (strcmp(path, "/") != 0 && is_vanished()) return fi ? -EIO : -ENOENT;
  if (fi) return fstat((int)fi->fh, st) == 0 ? 0 : -errno;
  char file[PATH_MAX];
  if ((err = backing_path(file, path))) return err;
  return lstat(file, st) == 0 ? 0 : -errno;
}

static int ts_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
  (void)offset, (void)fi, (void)flags;
  bool root = strcmp(path, "/") == 0;
  if (is_vanished()) {
    // A vanished share shows an empty root and nothing below it.
    if (!root) return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    return 0;
  }
  char dir[PATH_MAX];
  int err = backing_path(dir, path);
  if (err) return err;
  DIR *d = opendir(dir);
  if (!d) return -errno;
  struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    // The control file stays out of listings, so folder copies never pick it up.
    if (root && strcmp(e->d_name, CONTROL + 1) == 0) continue;
    if (fill(buf, e->d_name, NULL, 0, 0)) break;
  }
  closedir(d);
  return 0;
}

// True when a read-only rule covers the path: the rule's own path or a folder above it.
static bool is_read_only(const char *path) {
  bool found = false;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < rule_count && !found; i++) {
    if (rules[i].kind != READ_ONLY) continue;
    size_t n = strlen(rules[i].path);
    found = strcmp(rules[i].path, "*") == 0 ||
            (strncmp(path, rules[i].path, n) == 0 && (path[n] == '\0' || path[n] == '/'));
  }
  pthread_mutex_unlock(&lock);
  return found;
}

// Takes `grow` bytes from the space left; false when there is not that much.
static bool use_space(long long grow) {
  if (grow <= 0) return true;
  pthread_mutex_lock(&lock);
  bool ok = space_left < 0 || grow <= space_left;
  if (ok && space_left >= 0) space_left -= grow;
  pthread_mutex_unlock(&lock);
  return ok;
}

// The checks every change makes first: a share that is gone, or a read-only place.
static int may_change(const char *path) {
  if (is_control(path)) return -EACCES;
  if (is_vanished()) return -ENOENT;
  return is_read_only(path) ? -EACCES : 0;
}

static int ts_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
  fi->direct_io = 1;
  char file[PATH_MAX];
  int err = may_change(path);
  if (!err) err = backing_path(file, path);
  if (err) return err;
  int fd = open(file, fi->flags | O_CREAT, mode);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int ts_mkdir(const char *path, mode_t mode) {
  char dir[PATH_MAX];
  int err = may_change(path);
  if (!err) err = backing_path(dir, path);
  if (err) return err;
  return mkdir(dir, mode) == 0 ? 0 : -errno;
}

static int ts_unlink(const char *path) {
  char file[PATH_MAX];
  int err = may_change(path);
  if (!err) err = backing_path(file, path);
  if (err) return err;
  return unlink(file) == 0 ? 0 : -errno;
}

static int ts_rmdir(const char *path) {
  char dir[PATH_MAX];
  int err = may_change(path);
  if (!err) err = backing_path(dir, path);
  if (err) return err;
  return rmdir(dir) == 0 ? 0 : -errno;
}

static int ts_rename(const char *from, const char *to, unsigned int flags) {
  char a[PATH_MAX], b[PATH_MAX];
  if (flags) return -EINVAL;
  int err = may_change(from);
  if (!err) err = may_change(to);
  if (!err) err = backing_path(a, from);
  if (!err) err = backing_path(b, to);
  if (err) return err;
  return rename(a, b) == 0 ? 0 : -errno;
}

static int ts_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
  if (is_control(path)) return 0;
  int err = has_rule(REFUSE_TIME, path) ? -EPERM : may_change(path);
  if (err) return err;
  if (fi) return futimens((int)fi->fh, tv) == 0 ? 0 : -errno;
  char file[PATH_MAX];
  if ((err = backing_path(file, path))) return err;
  return utimensat(AT_FDCWD, file, tv, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int ts_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
  (void)mode, (void)fi;
  return is_control(path) ? 0 : may_change(path);
}

static int ts_open(const char *path, struct fuse_file_info *fi) {
  fi->direct_io = 1;  // every read must reach us, never the page cache
  if (is_control(path)) {
    struct control *c = calloc(1, sizeof *c);
    if (!c) return -ENOMEM;
    c->text = describe();
    fi->fh = (uint64_t)(uintptr_t)c;
    return 0;
  }
  const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
  if (is_vanished()) return -ENOENT;
  if (writing && is_read_only(path)) return -EACCES;
  char file[PATH_MAX];
  int err = backing_path(file, path);
  if (err) return err;
  int fd = open(file, writing ? fi->flags & (O_ACCMODE | O_TRUNC) : O_RDONLY);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

// A read request of the open file `fh` begins (+1) or ends (-1).
static void reading(uint64_t fh, int step) {
  pthread_mutex_lock(&lock);
  int i = 0;
  while (i < reader_count && readers[i].fh != fh) i++;
  if (i == reader_count && step > 0 && reader_count < MAX_READERS) {
    readers[reader_count++] = (struct reader){fh, 0};
    if (reader_count > most_readers) most_readers = reader_count;
  }
  if (i < reader_count && (readers[i].requests += step) <= 0) readers[i] = readers[--reader_count];
  pthread_mutex_unlock(&lock);
}

static int ts_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi) {
  if (is_control(path)) {
    struct control *c = (struct control *)(uintptr_t)fi->fh;
    size_t len = strlen(c->text);
    if ((size_t)offset >= len) return 0;
    if (size > len - (size_t)offset) size = len - (size_t)offset;
    memcpy(buf, c->text + offset, size);
    return (int)size;
  }
  if (is_vanished() || has_rule(FAIL_READ, path)) return -EIO;
  reading(fi->fh, +1);
  int err = wait_rule(DELAY_READ, path);
  if (!err) err = wait_rule(HANG_READ, path);
  if (!err && (is_vanished() || has_rule(FAIL_READ, path))) err = -EIO;
  ssize_t n = err ? 0 : pread((int)fi->fh, buf, size, offset);
  if (!err && n < 0) err = -errno;
  pthread_mutex_lock(&lock);
  if (n > 0) bytes_read += n;
  pthread_mutex_unlock(&lock);
  reading(fi->fh, -1);
  return err ? err : (int)n;
}

// A copy of the write with the bytes that flip rules cover inverted, or NULL when none
// does; a once rule goes with its first use.
static char *flip_bytes(const char *path, const char *buf, size_t size, off_t offset) {
  char *copy = NULL;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < rule_count; i++) {
    struct rule *r = &rules[i];
    if ((r->kind != FLIP_BYTE && r->kind != FLIP_BYTE_ONCE) || strcmp(r->path, path) != 0 ||
        r->ms < offset || r->ms >= offset + (off_t)size)
      continue;
    if (!copy && (copy = malloc(size))) memcpy(copy, buf, size);
    if (!copy) break;
    copy[r->ms - offset] ^= (char)0xFF;
    flips++;
    if (r->kind == FLIP_BYTE_ONCE) rules[i--] = rules[--rule_count];
  }
  pthread_mutex_unlock(&lock);
  return copy;
}

static int write_file(const char *path, const char *buf, size_t size, off_t offset,
                      struct fuse_file_info *fi) {
  int err = may_change(path);
  if (err) return is_vanished() ? -EIO : err;
  struct stat st;
  if (fstat((int)fi->fh, &st) != 0) return -errno;
  if (!use_space((long long)offset + (long long)size - (long long)st.st_size)) return -ENOSPC;
  char *flipped = flip_bytes(path, buf, size, offset);
  ssize_t n = pwrite((int)fi->fh, flipped ? flipped : buf, size, offset);
  free(flipped);
  if (n > 0) {
    pthread_mutex_lock(&lock);
    mark_dirty(path, offset, offset + n);
    pthread_mutex_unlock(&lock);
  }
  return n >= 0 ? (int)n : -errno;
}

static int ts_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
  if (is_control(path)) return 0;
  if (is_vanished() || has_rule(FAIL_FLUSH, path)) return -EIO;
  if ((datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh)) != 0) return -errno;
  pthread_mutex_lock(&lock);
  flushes++;
  for (int i = 0; i < dirty_count; i++)
    if (strcmp(dirty[i].path, path) == 0) dirty[i] = dirty[--dirty_count];
  pthread_mutex_unlock(&lock);
  return 0;
}

static int ts_write(const char *path, const char *buf, size_t size, off_t offset, struct fuse_file_info *fi) {
  if (!is_control(path)) return write_file(path, buf, size, offset, fi);
  struct control *c = (struct control *)(uintptr_t)fi->fh;
  int result = (int)size;
  for (size_t i = 0; i < size; i++) {
    char ch = buf[i];
    if (ch != '\n') {
      if (ch == '\r') continue;
      if (c->used + 1 >= sizeof c->line) return -EINVAL;
      c->line[c->used++] = ch;
      continue;
    }
    c->line[c->used] = '\0';
    c->used = 0;
    if (!c->line[0]) continue;
    say("%s", c->line);
    pthread_mutex_lock(&control_lock);
    char known[PATH_MAX];
    if (strncmp(c->line, "hang-lookup ", 12) == 0 && to_path(known, c->line + 12) == 0) {
      if (strcmp(known, "*") == 0)
        make_all_known("");
      else
        make_known(known);
    }
    pthread_mutex_lock(&lock);
    int err = run_command(c->line);
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    pthread_mutex_unlock(&control_lock);
    if (err) {
      say("  refused (%s)", strerror(-err));
      result = err;
    }
  }
  return result;
}

static int ts_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
  if (is_control(path)) return 0;  // opening the control file for writing may truncate it
  char file[PATH_MAX];
  int err = may_change(path);
  if (!err) err = backing_path(file, path);
  if (err) return err;
  struct stat st;
  if ((fi ? fstat((int)fi->fh, &st) : stat(file, &st)) != 0) return -errno;
  if (!use_space((long long)size - (long long)st.st_size)) return -ENOSPC;
  return (fi ? ftruncate((int)fi->fh, size) : truncate(file, size)) == 0 ? 0 : -errno;
}

static int ts_release(const char *path, struct fuse_file_info *fi) {
  if (is_control(path)) {
    struct control *c = (struct control *)(uintptr_t)fi->fh;
    free(c->text);
    free(c);
  } else {
    close((int)fi->fh);
  }
  return 0;
}

static int ts_statfs(const char *path, struct statvfs *st) {
  (void)path;
  if (statvfs(backing, st) != 0) return -errno;
  pthread_mutex_lock(&lock);
  if (space_left >= 0 && st->f_bsize > 0)
    st->f_bavail = st->f_bfree = (fsblkcnt_t)(space_left / (long long)st->f_bsize);
  pthread_mutex_unlock(&lock);
  return 0;
}

static void *ts_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  // Without it the kernel serialises lookups in one folder, so one hung lookup would
  // block every open on the share.
  if (!(conn->capable & FUSE_CAP_PARALLEL_DIROPS)) say("the kernel cannot run lookups in parallel");
  conn->want |= FUSE_CAP_PARALLEL_DIROPS;
  // No caching of names or attributes, so every lookup reaches us and faults bite at once.
  cfg->entry_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  return NULL;
}

static const struct fuse_operations ops = {
    .init = ts_init,
    .getattr = ts_getattr,
    .readdir = ts_readdir,
    .open = ts_open,
    .read = ts_read,
    .write = ts_write,
    .truncate = ts_truncate,
    .create = ts_create,
    .mkdir = ts_mkdir,
    .unlink = ts_unlink,
    .rmdir = ts_rmdir,
    .rename = ts_rename,
    .utimens = ts_utimens,
    .fsync = ts_fsync,
    .chmod = ts_chmod,
    .release = ts_release,
    .statfs = ts_statfs,
};

int main(int argc, char *argv[]) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s BACKING MOUNTPOINT\n", argv[0]);
    return 2;
  }
  if (!realpath(argv[1], backing) || !realpath(argv[2], mountpoint)) {
    perror("testshare");
    return 2;
  }
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&changed, &attr);
  pthread_condattr_destroy(&attr);
  // auto_unmount: a test run killed on its timeout takes the mount with it.
  char *fuse_argv[] = {argv[0], "-f", "-o", "auto_unmount,fsname=testshare,subtype=testshare,max_threads=" MAX_THREADS ",max_idle_threads=16",
                       argv[2], NULL};
  return fuse_main(5, fuse_argv, &ops, NULL);
}
