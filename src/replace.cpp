// Replacing the output file so that a failed or killed run never loses, damages or exposes an image.
// The order of decisions lives here; what each system calls them lives in replace_system.h.
#include "replace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "replace_system.h"

namespace {

// Writes until all is out or a write fails: the count that went out, with errno saying why it
// stopped short.
size_t writeall(int fd, const uint8_t *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        auto put = write(fd, data + done, static_cast<unsigned>(size - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            break;
        }
        done += static_cast<size_t>(put);
    }
    return done;
}

// The plain way, for streams: open cutting it, write, close. A full disk may show only at the
// close, so that counts too.
writeresult writestraight(const char *name, const uint8_t *data, size_t size) {
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_CLOEXEC, 0666);
    if (fd < 0)
        return openfailed;
    bool ok = writeall(fd, data, size) == size;
    return close(fd) == 0 && ok ? written : writefailed;
}

// Room for a name; a longer one is written straight, which reports it as before.
constexpr size_t pathroom = 8192;
char target[pathroom];   // the file to replace, once symbolic links are followed
char tmpname[pathroom];  // the temporary file beside it

// What an in-place rewrite overwrites, kept to be put back if the rewrite fails: one image.
uint8_t before[174848];

// Length of the folder part of a name, with its trailing separator; 0 in the current folder.
size_t dirlen(const char *path) {
    size_t len = 0;
    for (size_t i = 0; path[i] != '\0'; ++i)
        if (strchr(sys::separators, path[i]) != nullptr)
            len = i + 1;
    return len;
}

bool sameid(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes `path` only while it still is the file this run made: another run may have renamed its
// finished output over the name meanwhile.
void removeifsame(const char *path, const struct stat &mine) {
    struct stat now;
    if (stat(path, &now) == 0 && sameid(now, mine))
        unlink(path);
}

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

// Two runs rewriting one file in place must not interleave. The one holding the lock is done in
// milliseconds; one that never lets go must not hang this run, nor keep an interrupt waiting.
bool lockfile(int fd) {
    for (int waits = 0; waits < 1000; ++waits) {
        switch (sys::trylock(fd)) {
        case sys::locked::held:
        case sys::locked::nolocks: return true;
        case sys::locked::failed: return false;
        case sys::locked::busy: break;
        }
        if (sys::interrupted())
            return false;
        sys::nap();
    }
    return false;
}

// Secures room for `size` bytes before a byte of the old image is overwritten: holes and the part
// past the end get their blocks. Where the system cannot allocate, the `keep` old bytes are written
// back over themselves and zeros past them, which changes no byte either; a file that cannot be
// read goes on without.
bool reserve(int fd, size_t size, size_t keep, bool readable) {
    switch (sys::allocate(fd, size)) {
    case sys::reserved::done: return true;
    case sys::reserved::failed: return false;
    case sys::reserved::unsupported: break;
    }
    if (!readable)
        return true;
    static const uint8_t zeros[4096] = {};
    if (lseek(fd, 0, SEEK_SET) != 0 || writeall(fd, before, keep) != keep)
        return false;
    for (size_t at = keep; at < size;) {
        size_t n = size - at < sizeof zeros ? size - at : sizeof zeros;
        if (writeall(fd, zeros, n) != n)
            return false;
        at += n;
    }
    return true;
}

// Opens the output to rewrite it in place, locked, creating it if it is not there: the descriptor,
// or -1. Once the lock is held the name must still lead to the locked file; if another run has
// renamed a new one over it meanwhile, that one is opened instead.
int openinplace(struct stat &st, bool &created, bool &readable) {
    for (int tries = 0; tries < 100; ++tries) {
        created = false;
        int fd = open(target, O_RDWR | O_BINARY | O_CLOEXEC);
        readable = fd >= 0;
        if (fd < 0 && errno == EACCES)
            fd = open(target, O_WRONLY | O_BINARY | O_CLOEXEC);  // may write, may not read: no undo
        if (fd < 0 && errno == ENOENT) {
            fd = open(target, O_RDWR | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
            created = readable = fd >= 0;
        }
        if (fd < 0)
            return -1;
        bool known = fstat(fd, &st) == 0;
        if (known && lockfile(fd)) {
            struct stat now;
            if (stat(target, &now) == 0 && sameid(now, st))
                return fd;
            close(fd);
            continue;
        }
        if (created && known)
            removeifsame(target, st);
        else if (created)
            unlink(target);  // made with O_EXCL a moment ago
        close(fd);
        return -1;
    }
    return -1;
}

// Writes over the output itself, where no file can be made beside it or the rename is refused.
// Room for the whole image is secured before the first byte of the old one is overwritten, and a
// rewrite that fails anyway puts back the bytes that went out and the old length. A file made here
// is removed again if its write fails. Only a failed close after a whole rewrite leaves the new
// image in place of the old one.
writeresult rewriteinplace(const uint8_t *data, size_t size) {
    if (size > sizeof before)
        return writefailed;
    struct stat st;
    bool created, readable;
    int fd = openinplace(st, created, readable);
    if (fd < 0)
        return openfailed;
    auto oldlen = static_cast<long long>(st.st_size);
    size_t keep = oldlen < static_cast<long long>(size) ? static_cast<size_t>(oldlen) : size;
    size_t wrote = 0;
    bool ok = (!readable || (lseek(fd, 0, SEEK_SET) == 0 && readall(fd, before, keep) == static_cast<long>(keep))) &&
              reserve(fd, size, keep, readable) && lseek(fd, 0, SEEK_SET) == 0 &&
              (wrote = writeall(fd, data, size)) == size && sys::setlength(fd, static_cast<long long>(size));
    if (!ok) {
        // Each is tried even where the other fails.
        if (readable && wrote > 0 && lseek(fd, 0, SEEK_SET) == 0)
            writeall(fd, before, wrote < keep ? wrote : keep);
        sys::setlength(fd, oldlen);
        if (created)
            removeifsame(target, st);
        close(fd);
        return writefailed;
    }
    if (close(fd) == 0)
        return written;
    if (created)
        removeifsame(target, st);
    return writefailed;
}

// Writes a temporary file beside the output and renames it over it. Where no file can be made
// there, or the disk has room for one copy of the image but not two, the output is rewritten in
// place instead.
writeresult replacebyrename(const struct stat *old, const uint8_t *data, size_t size) {
    int fd = createtemp();
    if (fd < 0)
        return rewriteinplace(data, size);
    struct stat made;
    bool known = fstat(fd, &made) == 0;
    bool ok = writeall(fd, data, size) == size;
    int why = errno;
    if (ok)
        sys::givemode(fd, old);
    if (close(fd) != 0 && ok) {
        why = errno;
        ok = false;
    }
    // Never rename over a symbolic link, which may be a system's own (/dev/stdout): the name to
    // replace was followed to its file, so a link there now is another program's doing.
    sys::pathkind kind = ok ? sys::lookat(target) : sys::pathkind::plain;
    bool renamed = ok && (kind == sys::pathkind::missing || kind == sys::pathkind::plain) &&
                   sys::renameover(tmpname, target);
    if (renamed)
        return written;
    // Made with O_EXCL a moment ago, so where its identity is not known the name is still its own.
    if (known)
        removeifsame(tmpname, made);
    else
        unlink(tmpname);
    if (kind == sys::pathkind::link || kind == sys::pathkind::failed)
        return openfailed;
    if (sys::interrupted())
        return writefailed;
    // A refused rename (a sticky folder, say) may still leave the file itself writable.
    return ok || sys::noroom(why) ? rewriteinplace(data, size) : writefailed;
}

}  // namespace

writeresult replacefile(const char *name, const uint8_t *data, size_t size) {
    sys::reportfilesizelimit();
    size_t namelen = strlen(name);
    if (namelen == 0 || namelen >= pathroom || dirlen(name) == namelen)
        return writestraight(name, data, size);
    memcpy(target, name, namelen + 1);
    switch (sys::followlinks(target, pathroom)) {
    case sys::named::file: break;
    case sys::named::stream: return writestraight(name, data, size);
    case sys::named::failed: return openfailed;
    }
    struct stat st;
    bool exists = stat(target, &st) == 0;
    if (!exists && errno != ENOENT)
        return openfailed;
    if (exists && !S_ISREG(st.st_mode))
        return writestraight(name, data, size);
    // A file the user may not write is refused, although a rename could replace it.
    if (exists && access(target, W_OK) != 0)
        return openfailed;
    if (!sys::withinlimit(size))
        return writefailed;
    sys::holdinterrupts(true);
    writeresult result = replacebyrename(exists ? &st : nullptr, data, size);
    sys::holdinterrupts(false);
    return result;
}
