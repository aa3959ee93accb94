// Replacing the output file so that a failed or killed run never loses or exposes an image.
#include "replace.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <sys/resource.h>
#endif

#include "platform.h"

namespace {

// The whole image in as few writes as the system allows; on failure errno says why.
bool writeall(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        auto put = write(fd, data, static_cast<unsigned>(size));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// The plain way, for whatever cannot be replaced by a rename: open cutting it, write, close. A
// full disk may show only at the close, so that counts too.
writeresult writestraight(const char *name, const uint8_t *data, size_t size) {
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_CLOEXEC, 0666);
    if (fd < 0)
        return openfailed;
    bool ok = writeall(fd, data, size);
    return close(fd) == 0 && ok ? written : writefailed;
}

// Room for a name; a longer one is written straight, which reports it as before.
constexpr size_t pathroom = 8192;
char target[pathroom];   // the file to replace, once symbolic links are followed
char tmpname[pathroom];  // the temporary file beside it

#ifdef _WIN32
const char *const separators = "/\\:";
#else
const char *const separators = "/";
#endif

// Length of the folder part of a name, with its trailing separator; 0 in the current folder.
size_t dirlen(const char *path) {
    size_t len = 0;
    for (size_t i = 0; path[i] != '\0'; ++i)
        if (strchr(separators, path[i]) != nullptr)
            len = i + 1;
    return len;
}

#ifdef _WIN32
volatile LONG interrupt;  // a Ctrl-C or Ctrl-Break came while the output was being replaced
volatile LONG busy;       // ... which is going on

// Windows runs this on a thread of its own. Ctrl-C and Ctrl-Break are only noted, and acted on
// once the temporary file is gone. Closing the console, logging off or shutting down end the
// process as soon as this returns, so those give the write a few seconds to finish first.
BOOL WINAPI holdinterrupt(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupt = 1;
        return TRUE;
    }
    for (int waited = 0; busy != 0 && waited < 400; ++waited)
        Sleep(10);
    return FALSE;
}

void guard(bool on) {
    if (on) {
        busy = 1;
        SetConsoleCtrlHandler(holdinterrupt, TRUE);
        return;
    }
    busy = 0;
    SetConsoleCtrlHandler(holdinterrupt, FALSE);
    if (interrupt != 0)
        ExitProcess(STATUS_CONTROL_C_EXIT);  // what the interrupt would have done at once
}

bool interrupted() { return interrupt != 0; }
#else
sigset_t callers;  // the signal mask as the run found it

// While the output is being replaced, every signal that would end the process waits; once the
// temporary file is renamed or removed they take effect as they would have, so only SIGKILL can
// leave it behind. Job control, and the signals that do nothing by default, are left alone.
void guard(bool on) {
    if (!on) {
        sigprocmask(SIG_SETMASK, &callers, nullptr);
        return;
    }
    const int free[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH, SIGXFSZ};
    sigset_t held;
    sigfillset(&held);
    for (int sig : free)
        sigdelset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &callers);
}

// A signal that came meanwhile ends the process once it is let through.
constexpr bool interrupted() { return false; }
#endif

#ifndef _WIN32
// Follows symbolic links in the last component of `target`, so that the file they lead to is
// replaced and the links stay links. False for a stream the caller opened (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N, all of which lead through /proc), and for chains too long to follow.
bool resolvetarget() {
    for (int hops = 0; hops < 40; ++hops) {
        char to[pathroom];
        ssize_t len = readlink(target, to, sizeof to - 1);
        if (len < 0)
            return true;
        size_t dir = dirlen(target);
        char folder[pathroom], real[PATH_MAX];
        memcpy(folder, target, dir);
        folder[dir] = '\0';
        if (realpath(dir == 0 ? "." : folder, real) != nullptr && strncmp(real, "/proc/", 6) == 0)
            return false;
        to[len] = '\0';
        size_t keep = to[0] == '/' ? 0 : dir;
        if (keep + static_cast<size_t>(len) >= pathroom)
            return false;
        memcpy(target + keep, to, static_cast<size_t>(len) + 1);
    }
    return false;
}

// Writes past the file-size limit would fail part way; better to know before anything is made.
bool withinlimit(size_t size) {
    struct rlimit lim;
    return getrlimit(RLIMIT_FSIZE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= size;
}
#else
constexpr bool withinlimit(size_t) { return true; }
#endif

// Opens a new file beside `target`, for its owner alone until its data is in, with a name that
// says what it is: .NAME.scatterdisk-XXXXXX.
int createtemp() {
    size_t dir = dirlen(target);
    // Where the stack lies differs from run to run; the time differs between runs. Either keeps
    // two runs from trying the same names for long.
    auto mix = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&dir) >> 4) * 2654435761u ^
               static_cast<uint32_t>(time(nullptr));
    for (int tries = 0; tries < 100; ++tries) {
        char suffix[7];
        for (char &c : suffix) {
            mix = mix * 1103515245u + 12345u;
            c = "abcdefghijklmnopqrstuvwxyz0123456789"[(mix >> 16) % 36];
        }
        suffix[6] = '\0';
        int len = snprintf(tmpname, pathroom, "%.*s.%s.scatterdisk-%s", static_cast<int>(dir), target, target + dir,
                           suffix);
        if (len < 0 || static_cast<size_t>(len) >= pathroom)
            return -1;
        int fd = open(tmpname, O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The mode the output is to have, given to the temporary file once its data is in: the old file's
// owner and group where the user may set both, its group alone where only that, then its
// permission bits (a change of owner may clear some); a new output gets what a plain create would.
void givemode(int fd, const struct stat *old) {
#ifdef _WIN32
    (void)fd, (void)old;
#else
    if (old == nullptr) {
        mode_t mask = umask(0);
        umask(mask);
        [[maybe_unused]] int moded = fchmod(fd, 0666 & ~mask);
        return;
    }
    if (fchown(fd, old->st_uid, old->st_gid) != 0)
        [[maybe_unused]] int grouped = fchown(fd, static_cast<uid_t>(-1), old->st_gid);
    [[maybe_unused]] int moded = fchmod(fd, old->st_mode & 07777);
#endif
}

bool noroom(int err) {
#ifdef EDQUOT
    if (err == EDQUOT)
        return true;
#endif
    return err == ENOSPC;
}

bool setlength(int fd, long long length) {
#ifdef _WIN32
    return _chsize(fd, static_cast<long>(length)) == 0;
#else
    return ftruncate(fd, static_cast<off_t>(length)) == 0;
#endif
}

// Secures room for `size` bytes from the start of an open file without changing a byte of what it
// holds: holes and the part past its end get their blocks. Where that fails, a file that had
// grown gets its old length back.
bool reserve(int fd, size_t size) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
#ifdef _WIN32
    // Windows files have no holes unless asked for; lengthening one allocates its clusters.
    int err = st.st_size >= static_cast<off_t>(size) || setlength(fd, static_cast<long long>(size)) ? 0 : ENOSPC;
#else
    int err = posix_fallocate(fd, 0, static_cast<off_t>(size));
#endif
    if (err == 0)
        return true;
    setlength(fd, st.st_size);
    errno = err;
    return false;
}

// Writes over the output itself, where no file can be made beside it or the rename is refused.
// Room for the whole image is secured before the first byte of the old one is overwritten, and
// only then is it cut to length, so a run that fails for lack of room leaves it as it was. A file
// made here is removed again if its write fails.
writeresult rewriteinplace(const uint8_t *data, size_t size) {
    bool created = false;
    int fd = open(target, O_WRONLY | O_BINARY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(target, O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
        created = fd >= 0;
    }
    if (fd < 0)
        return openfailed;
    bool ok = reserve(fd, size) && writeall(fd, data, size) && setlength(fd, static_cast<long long>(size));
    ok = close(fd) == 0 && ok;
    if (!ok && created)
        unlink(target);
    return ok ? written : writefailed;
}

bool renameover(const char *from, const char *to) {
#ifdef _WIN32
    // A plain rename() refuses to replace an existing file here.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return rename(from, to) == 0;
#endif
}

// Writes a temporary file beside the output and renames it over it. Where no file can be made
// there, or the disk has room for one copy of the image but not two, the output is rewritten in
// place instead.
writeresult replacebyrename(const struct stat *old, const uint8_t *data, size_t size) {
    int fd = createtemp();
    if (fd < 0)
        return rewriteinplace(data, size);
    bool ok = writeall(fd, data, size);
    int why = errno;
    if (ok)
        givemode(fd, old);
    if (close(fd) != 0) {
        why = errno;
        ok = false;
    }
    if (ok && renameover(tmpname, target))
        return written;
    unlink(tmpname);
    if (interrupted())
        return writefailed;
    // A refused rename (a sticky folder, say) may still leave the file itself writable.
    return ok || noroom(why) ? rewriteinplace(data, size) : writefailed;
}

}  // namespace

writeresult replacefile(const char *name, const uint8_t *data, size_t size) {
#ifndef _WIN32
    // Past a file-size limit a write should fail and be reported, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
#endif
    size_t namelen = strlen(name);
    if (namelen == 0 || namelen >= pathroom || dirlen(name) == namelen)
        return writestraight(name, data, size);
    memcpy(target, name, namelen + 1);
#ifndef _WIN32
    if (!resolvetarget())
        return writestraight(name, data, size);
#endif
    struct stat st;
    bool exists = stat(target, &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return writestraight(name, data, size);
    if (!exists && errno != ENOENT)
        return writestraight(name, data, size);
    // A file the user may not write is refused, although a rename could replace it.
    if (exists && access(target, W_OK) != 0)
        return openfailed;
    if (!withinlimit(size))
        return writefailed;
    guard(true);
    writeresult result = replacebyrename(exists ? &st : nullptr, data, size);
    guard(false);
    return result;
}
