/* Fails one call of the tool's, for the tests. Loaded with LD_PRELOAD, it makes call FAIL_AT
 * (from 1) of the function FAIL_CALL fail with errno FAIL_ERRNO, FAIL_TIMES calls in a row (0: every
 * call from then on). With FAIL_SHORT set, that call of read or write goes through for half its
 * count instead and the failures start at the next. FAIL_RUN, if set, is a shell command run just
 * before, to stand for another program acting at that moment (or a signal coming); FAIL_ERRNO=0
 * then lets the call through. With FAIL_RUN_ON naming another function, FAIL_RUN runs before the
 * first call of that one instead, and the failure stays where FAIL_CALL and FAIL_AT put it. Each failure it makes appends a line to the file FAIL_LOG, so that a test knows when a
 * run had no such call left to fail. The 64-bit names count as their plain ones, and so do the
 * calls that name a file inside an open folder (openat as open, renameat as rename, unlinkat as
 * unlink, fstatat as lstat); an fsync of a folder counts as fsyncdir, renameat2 (a system call) as
 * itself. FAIL_ALSO=CALL:ERRNO fails every call of another function besides,
 * uncounted and unlogged. FAIL_TMPFILE, set, refuses every unnamed file (O_TMPFILE) as a file system
 * that cannot make one does (FUSE: exFAT, NTFS), uncounted, so that the named temporary file is used. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

enum { pass, fail, halve };

static long seen, ran;

static long number(const char *name, long otherwise) {
    const char *v = getenv(name);
    return v != NULL && *v != '\0' ? atol(v) : otherwise;
}

/* Not system(), which would ignore SIGINT and SIGQUIT meanwhile and so drop one the hook sends. The
 * hook starts with no signal blocked and without this library; $PPID in it is the tool. */
static void runhook(const char *cmd) {
    int status = -1;
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        unsetenv("LD_PRELOAD");
        execl("/bin/sh", "sh", "-c", cmd, (char *)NULL);
        _exit(127);
    }
    if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0)
        fprintf(stderr, "failcall: FAIL_RUN failed\n");
}

static int verdict(const char *fn) {
    const char *want = getenv("FAIL_CALL"), *on = getenv("FAIL_RUN_ON"), *also = getenv("FAIL_ALSO");
    size_t alsolen = also != NULL && strchr(also, ':') != NULL ? (size_t)(strchr(also, ':') - also) : 0;
    if (alsolen > 0 && strlen(fn) == alsolen && strncmp(also, fn, alsolen) == 0) {
        errno = atoi(also + alsolen + 1);
        return fail;
    }
    if (on != NULL && strcmp(on, fn) == 0 && ran++ == 0 && getenv("FAIL_RUN") != NULL)
        runhook(getenv("FAIL_RUN"));
    if (want == NULL || strcmp(want, fn) != 0)
        return pass;
    long at = number("FAIL_AT", 1), times = number("FAIL_TIMES", 1), n = ++seen;
    int shortened = getenv("FAIL_SHORT") != NULL;
    if (n == at && on == NULL && getenv("FAIL_RUN") != NULL)
        runhook(getenv("FAIL_RUN"));
    if (shortened && n == at)
        return halve;
    long first = at + shortened;
    if (n < first || (times > 0 && n >= first + times) || number("FAIL_ERRNO", 5) == 0)
        return pass;
    FILE *log = getenv("FAIL_LOG") ? fopen(getenv("FAIL_LOG"), "a") : NULL;
    if (log != NULL) {
        fprintf(log, "%s %ld\n", fn, n);
        fclose(log);
    }
    errno = (int)number("FAIL_ERRNO", 5);
    return fail;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

/* A call that fails by returning `bad` with errno set. */
#define WRAP(ret, name, base, bad, params, args)      \
    ret name params {                                 \
        if (verdict(#base) == fail)                   \
            return bad;                               \
        return REAL(name) args;                       \
    }

WRAP(int, close, close, -1, (int fd), (fd))
WRAP(off_t, lseek, lseek, -1, (int fd, off_t at, int whence), (fd, at, whence))
WRAP(off64_t, lseek64, lseek, -1, (int fd, off64_t at, int whence), (fd, at, whence))
WRAP(int, fstat, fstat, -1, (int fd, struct stat *st), (fd, st))
WRAP(int, fstat64, fstat, -1, (int fd, struct stat64 *st), (fd, st))
WRAP(int, stat, stat, -1, (const char *p, struct stat *st), (p, st))
WRAP(int, stat64, stat, -1, (const char *p, struct stat64 *st), (p, st))
WRAP(int, lstat, lstat, -1, (const char *p, struct stat *st), (p, st))
WRAP(int, lstat64, lstat, -1, (const char *p, struct stat64 *st), (p, st))
WRAP(ssize_t, readlink, readlink, -1, (const char *p, char *to, size_t n), (p, to, n))
WRAP(char *, realpath, realpath, NULL, (const char *p, char *to), (p, to))
WRAP(int, rename, rename, -1, (const char *a, const char *b), (a, b))
WRAP(int, renameat, rename, -1, (int da, const char *a, int db, const char *b), (da, a, db, b))
WRAP(int, unlink, unlink, -1, (const char *p), (p))
WRAP(int, unlinkat, unlink, -1, (int d, const char *p, int how), (d, p, how))
WRAP(int, linkat, linkat, -1, (int da, const char *a, int db, const char *b, int how), (da, a, db, b, how))
WRAP(int, fstatat, lstat, -1, (int d, const char *p, struct stat *st, int how), (d, p, st, how))
WRAP(int, fstatat64, lstat, -1, (int d, const char *p, struct stat64 *st, int how), (d, p, st, how))
WRAP(int, fstatfs, fstatfs, -1, (int fd, struct statfs *st), (fd, st))
WRAP(int, fstatfs64, fstatfs, -1, (int fd, struct statfs64 *st), (fd, st))
WRAP(int, fsetxattr, fsetxattr, -1, (int fd, const char *n, const void *v, size_t len, int how), (fd, n, v, len, how))
WRAP(int, fremovexattr, fremovexattr, -1, (int fd, const char *n), (fd, n))
WRAP(ssize_t, fgetxattr, fgetxattr, -1, (int fd, const char *n, void *v, size_t len), (fd, n, v, len))
WRAP(ssize_t, flistxattr, flistxattr, -1, (int fd, char *to, size_t len), (fd, to, len))
WRAP(int, fstatvfs, fstatvfs, -1, (int fd, struct statvfs *st), (fd, st))
WRAP(int, fstatvfs64, fstatvfs, -1, (int fd, struct statvfs64 *st), (fd, st))
WRAP(long, fpathconf, fpathconf, -1, (int fd, int name), (fd, name))
WRAP(DIR *, fdopendir, fdopendir, NULL, (int fd), (fd))
WRAP(struct dirent *, readdir, readdir, NULL, (DIR *d), (d))
WRAP(struct dirent64 *, readdir64, readdir, NULL, (DIR *d), (d))
/* A failed closedir has still let go of the folder and its memory, as the C library's does. */
int closedir(DIR *d) {
    if (verdict("closedir") == fail) {
        int err = errno;
        REAL(closedir)(d);
        errno = err;
        return -1;
    }
    return REAL(closedir)(d);
}
WRAP(int, ftruncate, ftruncate, -1, (int fd, off_t n), (fd, n))
WRAP(int, ftruncate64, ftruncate, -1, (int fd, off64_t n), (fd, n))
WRAP(int, fchown, fchown, -1, (int fd, uid_t u, gid_t g), (fd, u, g))
WRAP(int, fchmod, fchmod, -1, (int fd, mode_t m), (fd, m))
WRAP(int, flock, flock, -1, (int fd, int how), (fd, how))
WRAP(int, access, access, -1, (const char *p, int how), (p, how))
WRAP(int, getrlimit, getrlimit, -1, (__rlimit_resource_t r, struct rlimit *l), (r, l))
WRAP(int, getrlimit64, getrlimit, -1, (__rlimit_resource_t r, struct rlimit64 *l), (r, l))

/* posix_fallocate says why by its result, not by errno. */
#define WRAPALLOC(name, type)                                    \
    int name(int fd, type at, type n) {                          \
        if (verdict("posix_fallocate") == fail)                  \
            return errno;                                        \
        return REAL(name)(fd, at, n);                            \
    }
WRAPALLOC(posix_fallocate, off_t)
WRAPALLOC(posix_fallocate64, off64_t)

#define WRAPOPEN(name)                                           \
    int name(const char *p, int flags, ...) {                    \
        va_list ap;                                              \
        va_start(ap, flags);                                     \
        mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0; \
        va_end(ap);                                              \
        if (verdict("open") == fail)                             \
            return -1;                                           \
        return REAL(name)(p, flags, mode);                       \
    }
WRAPOPEN(open)
WRAPOPEN(open64)

#define WRAPOPENAT(name)                                         \
    int name(int d, const char *p, int flags, ...) {             \
        va_list ap;                                              \
        va_start(ap, flags);                                     \
        mode_t mode = (flags & (O_CREAT | __O_TMPFILE)) ? va_arg(ap, mode_t) : 0; \
        va_end(ap);                                              \
        if ((flags & __O_TMPFILE) == __O_TMPFILE && getenv("FAIL_TMPFILE") != NULL) { \
            errno = EOPNOTSUPP;                                  \
            return -1;                                           \
        }                                                        \
        if (verdict("open") == fail)                             \
            return -1;                                           \
        return REAL(name)(d, p, flags, mode);                    \
    }
WRAPOPENAT(openat)
WRAPOPENAT(openat64)

/* A folder's flush counts apart from a file's, so that a test can tell which was made. */
int fsync(int fd) {
    struct stat st;
    int folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    if (verdict(folder ? "fsyncdir" : "fsync") == fail)
        return -1;
    return REAL(fsync)(fd);
}

/* renameat2 has no wrapper of its own in every C library, so the tool makes it as a system call. */
long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_renameat2 && verdict("renameat2") == fail)
        return -1;
    return REAL(syscall)(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

ssize_t read(int fd, void *to, size_t n) {
    int v = verdict("read");
    return v == fail ? -1 : REAL(read)(fd, to, v == halve ? n / 2 : n);
}

ssize_t write(int fd, const void *from, size_t n) {
    int v = verdict("write");
    return v == fail ? -1 : REAL(write)(fd, from, v == halve ? n / 2 : n);
}
