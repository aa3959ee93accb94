// Writing the output on Linux, macOS and the BSDs.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // mkostemp, in glibc and musl
#endif
#include <fcntl.h>
#include <sys/file.h>
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

#include "replace_system.h"

namespace sys {

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

sigset_t callers;  // the signal mask as the run found it
sigset_t held;     // what is held back while the output is replaced
sigset_t ours;     // ... of which the run would have acted on: not blocked or ignored before

bool known(const struct stat &st, fileid &id) {
    id.volume = static_cast<unsigned long long>(st.st_dev);
    id.index = static_cast<unsigned long long>(st.st_ino);
    return true;
}

// Linux gives a file made in a folder with a default ACL an access ACL of its own, which may name
// users the old file never let in: the new file gets the old one's ACL, or none. The mode set
// after it narrows the ACL's mask as it narrows the group bits. Elsewhere (macOS's inherited
// entries, say) the system's own rules for a new file stand.
void copyacl(int fd, const char *oldpath) {
#ifdef __linux__
    const char *const access = "system.posix_acl_access";
    char acl[4096];
    ssize_t n = getxattr(oldpath, access, acl, sizeof acl);
    if (n > 0)
        [[maybe_unused]] int given = fsetxattr(fd, access, acl, static_cast<size_t>(n), 0);
    else if (n < 0 && (errno == ENODATA || errno == ERANGE))  // none, or too long to copy: the mode alone
        [[maybe_unused]] int dropped = fremovexattr(fd, access);
#else
    (void)fd, (void)oldpath;
#endif
}

// A new random suffix for a temporary file's name, from the system's entropy where it gives it,
// else from the time and the process (a function's static would bring the C++ runtime's guard).
uint32_t mix;

void suffix(char out[7]) {
    if (mix == 0)
        mix = static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid()) * 2654435761u;
    unsigned char bytes[6];
    if (getentropy(bytes, sizeof bytes) != 0)
        for (unsigned char &b : bytes)
            b = static_cast<unsigned char>((mix = mix * 1103515245u + 12345u) >> 16);
    for (size_t i = 0; i < 6; ++i)
        out[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[bytes[i] % 36];
    out[6] = '\0';
}

// Gives `tmp` a new name of its own in the folder: .NAME.scatterdisk-XXXXXX.
bool nametemp(const folder &dir, tempfile &tmp) {
    char tail[7];
    suffix(tail);
    size_t base = folderlength(dir.target);
    int len = snprintf(tmp.name, sizeof tmp.name, "%.*s.%s.scatterdisk-%s", static_cast<int>(dir.prefix), dir.target,
                       dir.target + base, tail);
    if (len >= 0 && static_cast<size_t>(len) < sizeof tmp.name)
        return true;
    errno = ENAMETOOLONG;
    return false;
}

// Linux can link an unnamed file into a folder by its descriptor's entry under /proc.
bool linkunnamed(int fd, int dirfd, const char *name) {
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, dirfd, name, AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

named followlinks(char *target, size_t room) {
    for (int hops = 0; hops < 40; ++hops) {
        switch (isstream(target)) {
        case answer::no: break;
        case answer::yes: return named::stream;
        case answer::failed: return named::failed;
        }
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

bool withinlimit(size_t size) {
    struct rlimit lim;
    return getrlimit(RLIMIT_FSIZE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= size;
}

void reportfilesizelimit() { signal(SIGXFSZ, SIG_IGN); }

// While the output is being replaced, every signal that would end the process waits; once the
// temporary file is renamed or removed they take effect as they would have, so of the signals only
// SIGKILL can leave it behind (a power cut can too). Job control, the signals that do nothing by default, and the ones a fault
// raises (blocking those is undefined) are left alone.
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

bool identify(int fd, fileid &id) {
    struct stat st;
    return fstat(fd, &st) == 0 && known(st, id);
}

bool identify(const char *path, fileid &id) {
    struct stat st;
    return stat(path, &st) == 0 && known(st, id);
}

// Without blocking: a pipe put at the name would wait for a reader for ever. A regular file
// takes no notice of the flag.
int openexisting(const char *path, bool &readable) {
    int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_BINARY | O_CLOEXEC);
    readable = fd >= 0;
    if (fd < 0 && errno == EACCES)
        fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_BINARY | O_CLOEXEC);  // may write, may not read: no undo
    return fd;
}

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

// The old file's owner and group where the user may set both, its group alone where only that.
// Where the group cannot be kept, the new one may not read more than others could, and set-gid
// goes; where the owner cannot be kept, set-uid goes. Some systems refuse the set-id and sticky
// bits alone, so without them is tried next; failing that the file keeps its private 0600.
void givemode(int fd, const struct stat *old, const char *oldpath) {
    mode_t mode;
    if (old == nullptr) {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    } else {
        if (fchown(fd, old->st_uid, old->st_gid) != 0)
            [[maybe_unused]] int grouped = fchown(fd, static_cast<uid_t>(-1), old->st_gid);
        mode = old->st_mode & 07777;
        struct stat now;
        bool known = fstat(fd, &now) == 0;
        if (!known || now.st_gid != old->st_gid)
            mode = (mode & ~static_cast<mode_t>(S_ISGID | 070)) | (mode & 070 & ((mode & 07) << 3));
        if (!known || now.st_uid != old->st_uid)
            mode &= ~static_cast<mode_t>(S_ISUID);
        copyacl(fd, oldpath);
    }
    if (fchmod(fd, mode) != 0)
        [[maybe_unused]] int plain = fchmod(fd, mode & 0777);
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

bool setlength(int fd, long long length) { return ftruncate(fd, static_cast<off_t>(length)) == 0; }

bool noroom(int err) {
#ifdef EDQUOT
    if (err == EDQUOT)
        return true;
#endif
    return err == ENOSPC;
}


bool discard(int fd, const char *path, const fileid *mine) {
    fileid now;
    bool gone = true;
    if (mine == nullptr || !identify(path, now) || now == *mine)
        gone = unlink(path) == 0 || errno == ENOENT;
    if (fd >= 0)
        close(fd);
    return gone;
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

bool createtemp(const folder &dir, tempfile &tmp, bool replacing) {
#ifdef O_TMPFILE
    // Unnamed, so that a power cut or kill -9 leaves nothing of it; where the file system cannot
    // make such a file, or no /proc can link one in, a named one. Replacing a file, it will need
    // a name for a moment: one the folder cannot take sends the run in place before anything is
    // written.
    long longest = dir.prefix == 0 ? fpathconf(dir.fd, _PC_NAME_MAX) : -1;
    if (replacing && longest > 0 && nametemp(dir, tmp) && strlen(tmp.name) > static_cast<size_t>(longest)) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (dir.prefix == 0 && access("/proc/self/fd", X_OK) == 0) {
        tmp.fd = openat(dir.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (tmp.fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOTDIR))
            return tmp.fd >= 0;
    }
#else
    (void)replacing;  // the named file is made before anything is written, and refused there
#endif
    for (int tries = 0; tries < 100; ++tries) {
        if (!nametemp(dir, tmp))
            return false;
        tmp.fd = openat(dir.fd, tmp.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        tmp.named = tmp.fd >= 0;
        if (tmp.fd >= 0 || errno != EEXIST)
            return tmp.fd >= 0;
    }
    return false;
}

pathkind lookat(const folder &dir) {
    struct stat st;
    if (fstatat(dir.fd, dir.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? pathkind::missing : pathkind::failed;
    return S_ISLNK(st.st_mode) ? pathkind::link : pathkind::plain;
}

bool publish(const folder &dir, tempfile &tmp, bool replacing) {
    if (!tmp.named && !replacing)
        return linkunnamed(tmp.fd, dir.fd, dir.name);
    for (int tries = 0; !tmp.named && tries < 100; ++tries) {
        if (!nametemp(dir, tmp))
            return false;
        tmp.named = linkunnamed(tmp.fd, dir.fd, tmp.name);
        if (!tmp.named && errno != EEXIST)
            return false;
    }
    if (renameat(dir.fd, tmp.name, dir.fd, dir.name) != 0)
        return false;
    tmp.named = false;
    return true;
}

bool flushfolder(const folder &dir, const tempfile &tmp) {
    int fd = dir.prefix == 0 ? openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0)
        return flush(tmp.fd);
    bool ok = flush(fd) || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
    close(fd);
    return ok;
}

bool droptemp(const folder &dir, tempfile &tmp) {
    bool gone = true;
    if (tmp.named) {
        struct stat st;
        fileid now;
        if (!tmp.known || fstatat(dir.fd, tmp.name, &st, AT_SYMLINK_NOFOLLOW) != 0 || (known(st, now) && now == tmp.id))
            gone = unlinkat(dir.fd, tmp.name, 0) == 0 || errno == ENOENT;
        tmp.named = !gone;
    }
    if (tmp.fd >= 0)
        close(tmp.fd);
    tmp.fd = -1;
    return gone;
}

// Below this much free room a copy-on-write file system may fail a rewrite part way, whatever
// allocate() said: it writes each block anew, and its metadata too.
constexpr unsigned long long cowroom = 16ull << 20;

bool roomproven(int fd, size_t size) {
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0)
        return false;
#ifndef SCATTERDISK_FSTYPENAME
    const unsigned long long cow[] = {0x9123683eu /* btrfs */, 0x2fc12fc1u /* zfs */, 0xca451a4eu /* bcachefs */,
                                      0x3434u /* nilfs2 */};
    bool copies = false;
    for (unsigned long long magic : cow)
        copies = copies || static_cast<unsigned long long>(fs.f_type) == magic;
#else
    bool copies = strcmp(fs.f_fstypename, "apfs") == 0 || strcmp(fs.f_fstypename, "zfs") == 0;
#endif
    struct statvfs room;
    return !copies || (fstatvfs(fd, &room) == 0 &&
                       static_cast<unsigned long long>(room.f_bavail) * room.f_frsize >= size + cowroom);
}

}  // namespace sys
