// Writing the output on Linux, macOS and the BSDs.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // mkostemp, in glibc and musl
#endif
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>

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

}  // namespace

int createtemp(const char *target, char *name, size_t room) {
    size_t dir = folderlength(target);
    int len = snprintf(name, room, "%.*s.%s.scatterdisk-XXXXXX", static_cast<int>(dir), target, target + dir);
    if (len < 0 || static_cast<size_t>(len) >= room)
        return -1;
    return mkostemp(name, O_CLOEXEC);
}

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

bool flushfolder(const char *path) {
    const char *slash = strrchr(path, '/');
    char folder[8192];
    auto len = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    if (len >= sizeof folder)
        return false;
    memcpy(folder, path, len);
    strcpy(folder + len, ".");
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    bool ok = flush(fd) || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
    close(fd);
    return ok;
}

// The old file's owner and group where the user may set both, its group alone where only that.
// Where the group cannot be kept, the new one may not read more than others could, and set-gid
// goes; where the owner cannot be kept, set-uid goes. Some systems refuse the set-id and sticky
// bits alone, so without them is tried next; failing that the file keeps its private 0600.
void givemode(int fd, const struct stat *old) {
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

bool renameover(const char *from, const char *to, bool) { return rename(from, to) == 0; }

bool discard(int fd, const char *path, const fileid *mine) {
    fileid now;
    bool gone = true;
    if (mine == nullptr || !identify(path, now) || now == *mine)
        gone = unlink(path) == 0 || errno == ENOENT;
    if (fd >= 0)
        close(fd);
    return gone;
}

pathkind lookat(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? pathkind::missing : pathkind::failed;
    return S_ISLNK(st.st_mode) ? pathkind::link : pathkind::plain;
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

}  // namespace sys
