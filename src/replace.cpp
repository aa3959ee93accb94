#include "replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <climits>
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace {

// The plain way, for whatever cannot be replaced by a rename: open cutting it, write, close.
writeresult writestraight(const char *name, const uint8_t *data, size_t size) {
    FILE *f = fopen(name, "wb");
    if (f == nullptr)
        return openfailed;
    // A full disk often shows only when the buffer is flushed, so the close counts too.
    size_t put = fwrite(data, 1, size, f);
    return fclose(f) != 0 || put != size ? writefailed : written;
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
// The temporary file while it exists, for the handler to remove.
const char *volatile pending = nullptr;

extern "C" void removepending(int sig) {
    if (const char *p = pending)
        unlink(p);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Windows cannot hold a signal back, so Ctrl-C and SIGTERM remove the temporary file on their way;
// it is named to the handler once it exists.
void guard(bool on) {
    const int handled[] = {SIGINT, SIGTERM};
    pending = nullptr;
    for (int sig : handled)
        if (on && signal(sig, removepending) == SIG_IGN)
            signal(sig, SIG_IGN);
}
#else
sigset_t callers;  // the signal mask as the run found it

// While the temporary file exists, Ctrl-C, a hang-up and SIGTERM wait; once it is renamed or
// removed they take effect as they would have, so none of them can leave it behind.
void guard(bool on) {
    if (on) {
        const int waiting[] = {SIGINT, SIGTERM, SIGHUP};
        sigset_t held;
        sigemptyset(&held);
        for (int sig : waiting)
            sigaddset(&held, sig);
        sigprocmask(SIG_BLOCK, &held, &callers);
    } else {
        sigprocmask(SIG_SETMASK, &callers, nullptr);
    }
}
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
#endif

// Opens a new file beside `target` with a name that says what it is: .NAME.scatterdisk-XXXXXX.
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
        int fd = open(tmpname, O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The whole image in as few writes as the system allows.
bool writeall(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        auto put = write(fd, data, static_cast<unsigned>(size));
        if (put <= 0) {
            if (put < 0 && errno == EINTR)
                continue;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool renameover(const char *from, const char *to) {
#ifdef _WIN32
    // A plain rename() refuses to replace an existing file here.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return rename(from, to) == 0;
#endif
}

}  // namespace

writeresult replacefile(const char *name, const uint8_t *data, size_t size) {
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

#ifndef _WIN32
    // Past a file-size limit the write should fail and be reported, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
#endif
    guard(true);
    int fd = createtemp();
    if (fd < 0) {  // no file can be made beside it: rewrite it in place as before
        guard(false);
        return writestraight(name, data, size);
    }
#ifdef _WIN32
    pending = tmpname;
#else
    if (exists) {
        // Owner and group only where the user may set them, so a refusal is no failure; the
        // permission bits after, since a change of owner may clear some of them.
        [[maybe_unused]] int owned = fchown(fd, st.st_uid, st.st_gid);
        [[maybe_unused]] int moded = fchmod(fd, st.st_mode & 07777);
    }
#endif
    bool ok = writeall(fd, data, size);
    ok = close(fd) == 0 && ok;
    bool renamed = ok && renameover(tmpname, target);
    if (!renamed)
        unlink(tmpname);
    guard(false);
    if (renamed)
        return written;
    if (!ok)
        return writefailed;
    // The rename was refused (a sticky folder, say): the file itself may still be writable.
    return writestraight(name, data, size);
}
