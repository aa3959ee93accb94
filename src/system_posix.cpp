// The system's primitives on Linux, macOS and the BSDs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
// The BSDs and macOS name a file system's kind in statfs's f_fstypename; Linux (and the C
// libraries built like its) by a number in f_type.
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || defined(__DragonFly__)
#include <sys/mount.h>
#define SCATTERDISK_FSTYPENAME 1
#else
#include <sys/vfs.h>
#endif
#ifdef __linux__
#include <sys/syscall.h>
#include <sys/xattr.h>
#endif
#ifdef __APPLE__
#include <sys/random.h>
#endif

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "system.h"

namespace sys {

// ---- loading ----

// Faults are dear in a virtual machine, and asking for all the pages at once is one system call.
// Only whole pages may be asked for, and a page is not 4 KiB everywhere (arm64 may have 64 KiB),
// so the pages that lie wholly inside the buffer are; the rest fault as ever. Linux alone knows
// the request (MADV_POPULATE_WRITE, 5.14); elsewhere, or where it is refused, it is skipped.
void prefault([[maybe_unused]] void *start, [[maybe_unused]] size_t size) {
#ifdef __linux__
    constexpr int populatewrite = 23;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0)
        return;
    auto mask = static_cast<uintptr_t>(page) - 1;
    auto from = (reinterpret_cast<uintptr_t>(start) + mask) & ~mask;
    auto to = (reinterpret_cast<uintptr_t>(start) + size) & ~mask;
    if (from < to)
        [[maybe_unused]] int ignored = madvise(reinterpret_cast<void *>(from), to - from, populatewrite);
#endif
}

bool isblockdevice(unsigned mode) { return S_ISBLK(mode); }

// ---- names ----

const char *const separators = "/";

namespace {

enum class answer { no, yes, failed };

// Standard input, output and error and /dev/fd/N are files the caller opened, whatever they lead
// to; Linux leads them through /proc/self/fd, the others through /dev/fd, so either folder counts.
answer isstream(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    char folder[PATH_MAX], real[PATH_MAX];
    auto dir = static_cast<size_t>(base - path);
    if (dir >= sizeof folder)
        return answer::no;
    memcpy(folder, path, dir);
    folder[dir] = '\0';
    if (realpath(dir == 0 ? "." : folder, real) == nullptr)
        return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ? answer::no : answer::failed;
    bool standard = strcmp(base, "stdin") == 0 || strcmp(base, "stdout") == 0 || strcmp(base, "stderr") == 0;
    if (strncmp(real, "/proc/", 6) == 0 || strcmp(real, "/dev/fd") == 0 || (strcmp(real, "/dev") == 0 && standard))
        return answer::yes;
    return answer::no;
}

bool known(const struct stat &st, fileid &id) {
    id.volume = static_cast<unsigned long long>(st.st_dev);
    id.index = static_cast<unsigned long long>(st.st_ino);
    return true;
}

sigset_t callers;  // the signal mask as the run found it
sigset_t held;     // what is held back while the output is replaced
sigset_t ours;     // ... of which the run would have acted on: not blocked or ignored before

}  // namespace

namespace {

// Another user's file, pipe or link in a sticky folder anyone may write: nothing is opened to tell.
bool planted(const char *path) {
    struct stat at, in;
    size_t base = folderlength(path);
    char folder[pathroom];
    if (base >= sizeof folder - 1 || lstat(path, &at) != 0)
        return false;
    memcpy(folder, path, base);
    strcpy(folder + base, ".");
    if (stat(folder, &in) != 0)
        return false;
    bool shared = (in.st_mode & S_ISVTX) != 0 && (in.st_mode & S_IWOTH) != 0;
    return shared && at.st_uid != geteuid() && at.st_uid != in.st_uid;
}

}  // namespace

named followlinks(char *target, size_t room) {
    for (int hops = 0; hops < 40; ++hops) {
        switch (isstream(target)) {
        case answer::no: break;
        case answer::yes: return named::stream;
        case answer::failed: return named::failed;
        }
        // A link another user put in a shared folder is not followed (protected_symlinks).
        if (planted(target))
            return named::failed;
        char to[8192];
        ssize_t len = readlink(target, to, sizeof to - 1);
        // Only "not a link" and "nothing there" end the chain; a link that cannot be read must
        // not be taken for a file and replaced by one.
        if (len < 0)
            return errno == EINVAL || errno == ENOENT ? named::file : named::failed;
        to[len] = '\0';
        const char *slash = strrchr(target, '/');
        size_t keep = to[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
        if (keep + static_cast<size_t>(len) >= room)
            return named::failed;
        memcpy(target + keep, to, static_cast<size_t>(len) + 1);
    }
    return named::failed;
}

bool randombytes(unsigned char *out, size_t n) { return getentropy(out, n) == 0; }

// ---- the output's folder ----

bool openfolder(const char *target, folder &dir) {
    size_t base = folderlength(target);
    char path[pathroom];
    if (base >= sizeof path - 1) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(path, target, base);
    strcpy(path + base, ".");
    dir.target = target;
    // O_PATH opens a folder the user may search but not read, and reads nothing of it.
#ifdef O_PATH
    dir.fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    dir.fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (dir.fd >= 0) {
        dir.name = target + base;
        dir.prefix = 0;
        return true;
    }
    if (errno != EACCES)
        return false;
    // Where such a folder cannot be opened, its path it is.
    dir.fd = AT_FDCWD;
    dir.name = target;
    dir.prefix = base;
    return true;
}

void closefolder(folder &dir) {
    if (dir.fd >= 0)
        close(dir.fd);
    dir.fd = -1;
}

pathkind lookat(const folder &dir) {
    struct stat st;
    if (fstatat(dir.fd, dir.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? pathkind::missing : pathkind::failed;
    return S_ISLNK(st.st_mode) ? pathkind::link : pathkind::plain;
}

bool identifyat(const folder &dir, const char *name, fileid &id) {
    struct stat st;
    return fstatat(dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && known(st, id);
}

bool removeat(const folder &dir, const char *name) { return unlinkat(dir.fd, name, 0) == 0 || errno == ENOENT; }

const bool removesopen = true;

long namemax(const folder &dir) { return dir.prefix == 0 ? fpathconf(dir.fd, _PC_NAME_MAX) : -1; }

flushed flushfolder(const folder &dir) {
    int fd = dir.prefix == 0 ? openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0)
        return flushed::unopened;
    bool ok = flush(fd) || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
    close(fd);
    return ok ? flushed::done : flushed::failed;
}

// ---- the temporary file ----

// The mode a new file is made with: the kernel takes the umask or the folder's default ACL off it.
static mode_t newmode(bool private_) { return private_ ? 0600 : 0666; }

int createunnamed([[maybe_unused]] const folder &dir, [[maybe_unused]] bool private_) {
#ifdef O_TMPFILE
    // Linking one in later goes through its entry under /proc, so without /proc there is none.
    if (dir.prefix == 0 && access("/proc/self/fd", X_OK) == 0) {
        int fd = openat(dir.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, newmode(private_));
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOTDIR))
            return fd;
    }
#endif
    errno = EOPNOTSUPP;
    return -1;
}

int createnamed(const folder &dir, const char *name, bool private_) {
    return openat(dir.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newmode(private_));
}

int openown(const folder &dir, const char *name) {
    int fd = openat(dir.fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void foreachname(const folder &dir, void (*visit)(const char *name, void *context), void *context) {
    char path[pathroom];
    snprintf(path, sizeof path, "%.*s.", static_cast<int>(dir.prefix), dir.target);
    int fd = openat(dir.fd, dir.prefix == 0 ? "." : path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *names = fd >= 0 ? fdopendir(fd) : nullptr;
    if (names == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    while (const dirent *e = readdir(names))
        visit(e->d_name, context);
    closedir(names);
}

// Linux can link an unnamed file into a folder by its descriptor's entry under /proc.
bool linkin(int fd, const folder &dir, const char *name) {
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, dir.fd, name, AT_SYMLINK_FOLLOW) == 0;
}

// A rename that replaces nothing: Linux says so in one call (renameat2, where the file system
// takes the flag); elsewhere, or where it does not, a link at the name, which fails where the name
// is taken, and the temporary name removed after it; where the file system has no links either
// (FAT, exFAT), the name is looked at just before a plain rename, which a file that comes in
// between can still slip past.
static bool renamenew(const folder &dir, tempfile &tmp) {
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned noreplace = 1;  // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, dir.fd, tmp.name, dir.fd, dir.name, noreplace) == 0) {
        tmp.named = false;
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    if (linkat(dir.fd, tmp.name, dir.fd, dir.name, 0) == 0)
        return true;  // the temporary name is still there
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
        return false;
    if (lookat(dir) != pathkind::missing) {
        errno = EEXIST;
        return false;
    }
    if (renameat(dir.fd, tmp.name, dir.fd, dir.name) != 0)
        return false;
    tmp.named = false;
    return true;
}

bool renameover(const folder &dir, tempfile &tmp, bool replacing) {
    if (!replacing)
        return renamenew(dir, tmp);
    if (renameat(dir.fd, tmp.name, dir.fd, dir.name) != 0)
        return false;
    tmp.named = false;
    return true;
}

// ---- open files ----

bool identify(int fd, fileid &id) {
    struct stat st;
    return fstat(fd, &st) == 0 && known(st, id);
}

// Without blocking: a pipe put at the name would wait for a reader for ever. A regular file
// takes no notice of the flag.
int openexisting(const folder &dir, bool &readable) {
    int fd = openat(dir.fd, dir.name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    readable = fd >= 0;
    if (fd < 0 && errno == EACCES)  // may write, may not read: no undo
        fd = openat(dir.fd, dir.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

int createoutput(const folder &dir) { return openat(dir.fd, dir.name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }

// macOS's fsync stops at the drive's cache; F_FULLFSYNC goes past it where the file system knows it.
bool flush(int fd) {
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return true;
#endif
    while (fsync(fd) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

reserved allocate(int fd, size_t size) {
#if defined(__APPLE__) || defined(__OpenBSD__)
    (void)fd, (void)size;
    return reserved::unsupported;
#else
    int err = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (err == 0)
        return reserved::done;
    if (err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP || err == ENODEV)
        return reserved::unsupported;
    errno = err;
    return reserved::failed;
#endif
}

bool allocated(int fd, size_t size) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(size) &&
           static_cast<unsigned long long>(st.st_blocks) * 512 >= static_cast<unsigned long long>(st.st_size);
}

bool setlength(int fd, long long length) { return ftruncate(fd, static_cast<off_t>(length)) == 0; }

bool noroom(int err) {
#ifdef EDQUOT
    if (err == EDQUOT)
        return true;
#endif
    return err == ENOSPC;
}

bool filesystem(int fd, bool &copyonwrite, unsigned long long &available) {
    struct statfs fs;
    struct statvfs room;
    if (fstatfs(fd, &fs) != 0 || fstatvfs(fd, &room) != 0)
        return false;
#ifndef SCATTERDISK_FSTYPENAME
    const unsigned long long cow[] = {0x9123683eu /* btrfs */, 0x2fc12fc1u /* zfs */, 0xca451a4eu /* bcachefs */,
                                      0x3434u /* nilfs2 */};
    copyonwrite = false;
    for (unsigned long long magic : cow)
        copyonwrite = copyonwrite || static_cast<unsigned long long>(fs.f_type) == magic;
#else
    copyonwrite = strcmp(fs.f_fstypename, "apfs") == 0 || strcmp(fs.f_fstypename, "zfs") == 0;
#endif
    available = static_cast<unsigned long long>(room.f_bavail) * room.f_frsize;
    return true;
}

locked trylock(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return locked::held;
    if (errno == EWOULDBLOCK || errno == EINTR)
        return locked::busy;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOTSUP)
        return locked::nolocks;
    return locked::failed;
}

void nap() {
    struct timespec hundredth = {0, 10000000};
    nanosleep(&hundredth, nullptr);
}

long long monotonicms() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---- owner and access ----

bool ownerof(int fd, struct stat &st) { return fstat(fd, &st) == 0; }

bool setowner(int fd, long long uid, long long gid) {
    return fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0;
}

bool setmode(int fd, unsigned mode) { return fchmod(fd, static_cast<mode_t>(mode)) == 0; }

unsigned createmode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}

// Linux gives a file made in a folder with a default ACL an access ACL of its own, which may name
// users the old file never let in: the new file gets the old one's ACL, or none. Elsewhere
// (macOS's inherited entries, say) the system's own rules for a new file stand.
bool copyacl(int fd, int from) {
#ifdef __linux__
    const char *const access = "system.posix_acl_access";
    char acl[4096];
    ssize_t n = fgetxattr(from, access, acl, sizeof acl);
    if (n > 0)
        return fsetxattr(fd, access, acl, static_cast<size_t>(n), 0) == 0;
    if (n < 0 && errno == ENODATA)
        return fremovexattr(fd, access) == 0 || errno == ENODATA;
    // Too long to copy (ERANGE), or not to be read.
    return false;
#else
    (void)fd, (void)from;
    return true;
#endif
}

int openforaccess(const folder &dir) {
    int fd = openat(dir.fd, dir.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EACCES)  // a file one may write but not read
        fd = openat(dir.fd, dir.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

bool copyattributes([[maybe_unused]] int fd, [[maybe_unused]] int from) {
#ifdef __linux__
    char names[4096], value[4096];
    ssize_t n = flistxattr(from, names, sizeof names);
    if (n < 0)
        return errno == ENOTSUP || errno == EOPNOTSUPP;
    bool ok = true;
    for (const char *name = names; name < names + n; name += strlen(name) + 1) {
        if (strncmp(name, "user.", 5) != 0)
            continue;
        ssize_t len = fgetxattr(from, name, value, sizeof value);
        ok = ok && len >= 0 && fsetxattr(fd, name, value, static_cast<size_t>(len), 0) == 0;
    }
    return ok;
#else
    return true;
#endif
}


// ---- signals ----

void reportfilesizelimit() { signal(SIGXFSZ, SIG_IGN); }

bool withinlimit(size_t size) {
    struct rlimit lim;
    return getrlimit(RLIMIT_FSIZE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= size;
}

// While the output is being replaced, every signal that would end the process waits; once the
// temporary file is renamed or removed they take effect as they would have, so of the signals only
// SIGKILL can leave it behind (a power cut can too). Job control, the signals that do nothing by
// default, and the ones a fault raises (blocking those is undefined) are left alone.
void holdinterrupts(bool on) {
    if (!on) {
        sigprocmask(SIG_SETMASK, &callers, nullptr);
        return;
    }
    const int free[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH, SIGXFSZ,
                        SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGTRAP, SIGSYS,
#ifdef SIGINFO
                        SIGINFO,
#endif
    };
    sigfillset(&held);
    for (int sig : free)
        sigdelset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &callers);
    // A blocked signal stays pending even where it is ignored, so under nohup a hang-up shows as
    // pending: only those that would have ended the run count.
    sigemptyset(&ours);
    for (int sig = 1; sig < 65; ++sig) {
        struct sigaction now;
        if (sigismember(&held, sig) == 1 && sigismember(&callers, sig) == 0 && sigaction(sig, nullptr, &now) == 0 &&
            now.sa_handler != SIG_IGN)
            sigaddset(&ours, sig);
    }
}

bool interrupted() {
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    for (int sig = 1; sig < 65; ++sig)
        if (sigismember(&pending, sig) == 1 && sigismember(&ours, sig) == 1)
            return true;
    return false;
}

}  // namespace sys
