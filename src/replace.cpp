// Replacing the output file so that a failed or killed run never loses, damages or exposes an image.
// The order of decisions lives here; what each system calls them lives in replace_system.h.
#include "replace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "replace_system.h"

namespace {

// The plain way, for streams: open cutting it, write, close. A full disk may show only at the
// close, so that counts too. Nothing is flushed: a stream is the caller's to keep.
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

// The output opened for a rewrite in place, and what the undo and the cleanup rely on, all of
// it read once the lock is held: another run may have written or replaced it while this one
// waited.
struct inplace {
    int fd = -1;
    sys::fileid id;
    bool made = false;      // this run created it and nothing has been written to it since
    bool readable = false;  // so the old bytes can be kept for the undo
    long long length = 0;
};

// Opens the output to rewrite it in place, locked, creating it if it is not there; its descriptor
// is -1 where that fails. A symbolic link put at the name since it was followed is refused. Once
// the lock is held the name must still lead to the locked file; if another run has renamed a new
// one over it meanwhile, that one is opened instead.
inplace openinplace() {
    inplace f;
    for (int tries = 0; tries < 100; ++tries) {
        bool created = false;
        f.fd = sys::openexisting(target, f.readable);
        if (f.fd < 0 && errno == ENOENT) {
            f.fd = open(target, O_RDWR | O_CREAT | O_EXCL | O_BINARY | O_CLOEXEC, 0666);
            created = f.readable = f.fd >= 0;
            if (f.fd < 0 && errno == EEXIST)
                continue;  // another run made it a moment ago
        }
        if (f.fd < 0)
            return f;
        // A pipe put at the name meanwhile would take the image into nobody's hands, or never.
        struct stat st;
        if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(f.fd);
            f.fd = -1;
            return f;
        }
        bool locked = lockfile(f.fd), known = fstat(f.fd, &st) == 0 && sys::identify(f.fd, f.id);
        f.length = known ? static_cast<long long>(st.st_size) : 0;
        // Empty, it holds nothing of another run's; a run that waited for this one's lock may
        // have filled it and exited 0 meanwhile, and that output stays.
        f.made = created && known && f.length == 0;
        sys::fileid now;
        if (locked && known && sys::identify(target, now) && now == f.id)
            return f;
        if (f.made)
            sys::discard(f.fd, target, &f.id);
        else
            close(f.fd);
        f.fd = -1;
        if (!locked || !known)
            return f;
    }
    return f;
}

// Secures room for `size` bytes before a byte of the old image is overwritten: holes and the part
// past the end get their blocks. Where the system cannot allocate, the `keep` old bytes are written
// back over themselves and zeros past them, which changes no byte either; a file that cannot be
// read goes on without.
bool reserve(const inplace &f, size_t size, size_t keep) {
    switch (sys::allocate(f.fd, size)) {
    case sys::reserved::done: return true;
    case sys::reserved::failed: return false;
    case sys::reserved::unsupported: break;
    }
    if (!f.readable)
        return true;
    static const uint8_t zeros[4096] = {};
    if (lseek(f.fd, 0, SEEK_SET) != 0 || writeall(f.fd, before, keep) != keep)
        return false;
    for (size_t at = keep; at < size;) {
        size_t n = size - at < sizeof zeros ? size - at : sizeof zeros;
        if (writeall(f.fd, zeros, n) != n)
            return false;
        at += n;
    }
    return true;
}

// Puts back what a failed rewrite changed: the `wrote` first bytes, where they were kept, and the
// old length, each tried even where the other fails, and forced to the disk like the rewrite
// would have been. A file this run made goes.
writeresult undo(const inplace &f, size_t wrote, size_t keep) {
    if (f.readable && wrote > 0 && lseek(f.fd, 0, SEEK_SET) == 0)
        writeall(f.fd, before, wrote < keep ? wrote : keep);
    sys::setlength(f.fd, f.length);
    if (f.made) {
        sys::discard(f.fd, target, &f.id);
        return writefailed;
    }
    sys::flush(f.fd);
    close(f.fd);
    return writefailed;
}

// Writes over the output itself, where no file can be made beside it or the rename is refused.
// Room for the whole image is secured before the first byte of the old one is overwritten; every
// step that fails puts back what the steps before it changed. An output that was there before is
// on the disk when this returns. Only a failed close after a whole rewrite, or a failed flush after
// a longer old file was cut, leaves the new image in place of the old one and fails.
writeresult rewriteinplace(const uint8_t *data, size_t size) {
    if (size > sizeof before)
        return writefailed;
    inplace f = openinplace();
    if (f.fd < 0)
        return openfailed;
    size_t keep = f.length < static_cast<long long>(size) ? static_cast<size_t>(f.length) : size;
    if (f.readable && (lseek(f.fd, 0, SEEK_SET) != 0 || readall(f.fd, before, keep) != static_cast<long>(keep)))
        return undo(f, 0, keep);
    if (!reserve(f, size, keep) || lseek(f.fd, 0, SEEK_SET) != 0)
        return undo(f, 0, keep);
    size_t wrote = writeall(f.fd, data, size);
    if (wrote != size)
        return undo(f, wrote, keep);
    // What lies past an image in a longer old file is not kept, so nothing can put it back once it
    // is cut: the image goes to the disk first, and a failed flush after the cut leaves it there.
    bool longer = f.length > static_cast<long long>(size);
    if (longer && !(sys::flush(f.fd) && sys::setlength(f.fd, static_cast<long long>(size))))
        return undo(f, size, keep);
    if (!f.made && !sys::flush(f.fd)) {
        if (!longer)
            return undo(f, size, keep);
        close(f.fd);
        return writefailed;
    }
    if (close(f.fd) == 0)
        return written;
    if (f.made)
        sys::discard(-1, target, &f.id);
    return writefailed;
}

// Writes a temporary file beside the output and renames it over it. Replacing an existing output,
// the data is on the disk before the rename and the rename before the return, so a power cut
// leaves the old image or the new one; a new output is not forced, which keeps a batch fast. Where
// no file can be made there, or the disk has room for one copy of the image but not two, the
// output is rewritten in place instead.
writeresult replacebyrename(const struct stat *old, const uint8_t *data, size_t size) {
    int fd = createtemp();
    if (fd < 0)
        return rewriteinplace(data, size);
    bool durable = old != nullptr;
    sys::fileid made;
    bool known = sys::identify(fd, made);
    bool ok = writeall(fd, data, size) == size;
    if (ok)
        sys::givemode(fd, old);
    ok = ok && (!durable || sys::flush(fd));
    int why = errno;
    if (close(fd) != 0 && ok) {
        why = errno;
        ok = false;
    }
    // Never rename over a symbolic link, which may be a system's own (/dev/stdout): the name to
    // replace was followed to its file, so a link there now is another program's doing.
    sys::pathkind kind = ok ? sys::lookat(target) : sys::pathkind::plain;
    if (ok && (kind == sys::pathkind::missing || kind == sys::pathkind::plain) &&
        sys::renameover(tmpname, target, durable))
        return !durable || sys::flushfolder(target) ? written : writefailed;
    // Made with O_EXCL and a random name, so where its identity cannot be checked the name is
    // still its own. One left behind would take the room an in-place rewrite needs: a second
    // try, and a run that still cannot remove it goes no further.
    const sys::fileid *mine = known ? &made : nullptr;
    if (!sys::discard(-1, tmpname, mine) && !sys::discard(-1, tmpname, mine))
        return writefailed;
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
