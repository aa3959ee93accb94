#include "replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <process.h>
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

#ifdef _WIN32
const char *const separators = "/\\:";
#else
const char *const separators = "/";
#endif

// The folder part of a name, with its trailing separator; empty for a name in the current folder.
std::string dirof(const std::string &path) { return path.substr(0, path.find_last_of(separators) + 1); }

// The temporary file while it exists, for the signal handler to remove.
const char *volatile pending = nullptr;

extern "C" void removepending(int sig) {
    if (const char *p = pending)
        unlink(p);
    signal(sig, SIG_DFL);
    raise(sig);
}

#ifdef _WIN32
const int guarded[] = {SIGINT, SIGTERM};
#else
const int guarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
#endif

// Ctrl-C and the usual termination signals remove the temporary file before the process ends;
// a signal the caller chose to ignore stays ignored.
void guardsignals() {
    for (int sig : guarded)
        if (signal(sig, removepending) == SIG_IGN)
            signal(sig, SIG_IGN);
#ifndef _WIN32
    // Past a file-size limit the write should fail and be reported, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
#endif
}

// Holds the guarded signals back while the temporary file is created and recorded, so that none
// can end the process between the two.
void holdsignals(bool hold) {
#ifndef _WIN32
    sigset_t set;
    sigemptyset(&set);
    for (int sig : guarded)
        sigaddset(&set, sig);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
#else
    (void)hold;
#endif
}

#ifndef _WIN32
// Follows symbolic links in the last component, so that the file they lead to is replaced and the
// links stay links. False for a stream the caller opened (/dev/stdout, /dev/fd/N, /proc/self/fd/N,
// all of which lead through /proc), and for chains too long to follow.
bool resolve(std::string &path) {
    for (int hops = 0; hops < 40; ++hops) {
        std::string dir = dirof(path);
        if (char *real = realpath(dir.empty() ? "." : dir.c_str(), nullptr)) {
            bool stream = std::string(real).rfind("/proc/", 0) == 0;
            free(real);
            if (stream)
                return false;
        }
        char to[PATH_MAX];
        ssize_t len = readlink(path.c_str(), to, sizeof to);
        if (len < 0)
            return true;
        std::string target(to, static_cast<size_t>(len));
        path = target[0] == '/' ? target : dir + target;
    }
    return false;
}
#endif

// Opens a new file beside `path` with a name that says what it is: .NAME.scatterdisk-XXXXXX.
int createtemp(const std::string &path, std::string &tmp) {
    std::string dir = dirof(path), base = path.substr(dir.size());
    uint32_t mix = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(time(nullptr));
    for (int tries = 0; tries < 100; ++tries) {
        tmp = dir + "." + base + ".scatterdisk-";
        for (int i = 0; i < 6; ++i) {
            mix = mix * 1103515245u + 12345u;
            tmp += "abcdefghijklmnopqrstuvwxyz0123456789"[(mix >> 16) % 36];
        }
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool renameover(const std::string &from, const std::string &to) {
#ifdef _WIN32
    // A plain rename() refuses to replace an existing file here.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

writeresult replacefile(const char *name, const uint8_t *data, size_t size) {
    std::string path = name;
#ifndef _WIN32
    if (!resolve(path))
        return writestraight(name, data, size);
#endif
    if (path.empty() || dirof(path).size() == path.size())
        return writestraight(name, data, size);
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return writestraight(name, data, size);
    if (!exists && errno != ENOENT)
        return writestraight(name, data, size);
    // A file the user may not write is refused, although a rename could replace it.
    if (exists && access(path.c_str(), W_OK) != 0)
        return openfailed;

    guardsignals();
    holdsignals(true);
    std::string tmp;
    int fd = createtemp(path, tmp);
    if (fd >= 0)
        pending = tmp.c_str();
    holdsignals(false);
    if (fd < 0)  // no file can be made beside it: rewrite it in place as before
        return writestraight(name, data, size);
#ifndef _WIN32
    if (exists) {
        // Owner and group only where the user may set them, so a refusal is no failure; the
        // permission bits after, since a change of owner may clear some of them.
        [[maybe_unused]] int owned = fchown(fd, st.st_uid, st.st_gid);
        [[maybe_unused]] int moded = fchmod(fd, st.st_mode & 07777);
    }
#endif
    FILE *f = fdopen(fd, "wb");
    size_t put = f != nullptr ? fwrite(data, 1, size, f) : 0;
    bool ok = f != nullptr ? fclose(f) == 0 && put == size : (close(fd), false);
    if (ok && renameover(tmp, path)) {
        pending = nullptr;
        return written;
    }
    unlink(tmp.c_str());
    pending = nullptr;
    if (!ok)
        return writefailed;
    // The rename was refused (a sticky directory, say): the file itself may still be writable.
    return writestraight(name, data, size);
}
