// Rewriting the output where it is: for a folder where no file can be made beside the output, a
// refused rename, or a disk with room for one copy of the image only. The old bytes and length are
// kept and put back by any step that fails, so a failed run leaves the old file; a power cut or
// kill -9 in the middle can leave a mix of old and new bytes, which the rename path never does.
#include "inplace.h"

#include <cerrno>
#include <cstdio>

#include "tempfile.h"

namespace {

// Two runs rewriting one file in place must not interleave. The one holding the lock is done in
// milliseconds; one that never lets go must not hang this run for more than ten seconds by the
// clock, nor keep an interrupt waiting.
constexpr long long lockwait = 10000;

bool lockfile(int fd) {
    for (long long until = sys::monotonicms() + lockwait;;) {
        switch (sys::trylock(fd)) {
        case sys::locked::held:
        case sys::locked::nolocks: return true;
        case sys::locked::failed: return false;
        case sys::locked::busy: break;
        }
        if (sys::interrupted() || sys::monotonicms() >= until)
            return false;
        sys::nap();
    }
}

// Below this much free room beyond the image a copy-on-write file system may fail a rewrite part
// way, whatever allocate() said: it writes each block anew, and its metadata too. With at least
// the image's size and this much free, the rewrite goes ahead.
constexpr unsigned long long cowroom = 16ull << 20;

bool roomproven(int fd, size_t size) {
    bool copyonwrite = false;
    unsigned long long available = 0;
    return sys::filesystem(fd, copyonwrite, available) && (!copyonwrite || available >= size + cowroom);
}

// The old bytes the rewrite overwrites, kept for the undo: program-wide, as the image is.
uint8_t kept[outputroom];

// The output opened for a rewrite in place, and what the undo and the cleanup rely on, all of
// it read once the lock is held: another run may have written or replaced it while this one
// waited.
struct inplace {
    const sys::folder *dir = nullptr;
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
inplace openinplace(const sys::folder &dir) {
    inplace f;
    f.dir = &dir;
    for (int tries = 0; tries < 100; ++tries) {
        bool created = false;
        f.fd = sys::openexisting(dir, f.readable);
        if (f.fd < 0 && errno == ENOENT) {
            f.fd = sys::createoutput(dir);
            created = f.readable = f.fd >= 0;
            if (f.fd < 0 && errno == EEXIST)
                continue;  // another run made it a moment ago
        }
        if (f.fd < 0)
            return f;
        // A pipe put at the name meanwhile would take the image into nobody's hands, or never.
        // A file this run made and cannot look at goes again, by its name.
        struct stat st;
        if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (created)
                discard(f.fd, dir, dir.name, nullptr);
            else
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
        if (locked && known && sys::identifyat(dir, dir.name, now) && now == f.id)
            return f;
        if (f.made || (created && !known))
            discard(f.fd, dir, dir.name, known ? &f.id : nullptr);
        else
            close(f.fd);
        f.fd = -1;
        if (!locked || !known)
            return f;
    }
    return f;
}

// Secures room for `size` bytes before a byte of the old image is overwritten: holes and the part
// past the end get their blocks. Where the system cannot allocate, the kept old bytes are written
// back over themselves and zeros past them, which changes no byte either; a file that cannot be
// read goes on without.
bool reserve(const inplace &f, size_t size, const uint8_t *before, size_t keep) {
    switch (sys::allocate(f.fd, size)) {
    case sys::reserved::done: return true;
    // Some file systems (XFS) answer a full disk even where the file already has every block the
    // image needs: then there is room all the same.
    case sys::reserved::failed: return sys::noroom(errno) && sys::allocated(f.fd, size);
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
writeresult undo(const inplace &f, size_t wrote, const uint8_t *before, size_t keep) {
    if (before != nullptr && wrote > 0 && lseek(f.fd, 0, SEEK_SET) == 0)
        writeall(f.fd, before, wrote < keep ? wrote : keep);
    sys::setlength(f.fd, f.length);
    if (f.made) {
        discard(f.fd, *f.dir, f.dir->name, &f.id);
        return writefailed;
    }
    sys::flush(f.fd);
    close(f.fd);
    return writefailed;
}

// Room for the whole image is secured before the first byte of the old one is overwritten; every
// step that fails puts back what the steps before it changed. An output that was there before is
// on the disk when this returns. Only a failed close after a whole rewrite, or a failed flush after
// a longer old file was cut, leaves the new image in place of the old one and fails. `before` holds
// the old file's first `keep` bytes where it can be read.
writeresult rewrite(const inplace &f, const uint8_t *data, size_t size, uint8_t *before, size_t keep) {
    if (before != nullptr && (lseek(f.fd, 0, SEEK_SET) != 0 || readall(f.fd, before, keep) != static_cast<long>(keep)))
        return undo(f, 0, nullptr, keep);
    // On a copy-on-write file system the room allocate() promises is not kept for an overwrite:
    // a rewrite that stopped part way could not be undone there either.
    if (!roomproven(f.fd, size) || !reserve(f, size, before, keep) || lseek(f.fd, 0, SEEK_SET) != 0)
        return undo(f, 0, before, keep);
    size_t wrote = writeall(f.fd, data, size);
    if (wrote != size)
        return undo(f, wrote, before, keep);
    // What lies past an image in a longer old file is not kept, so nothing can put it back once it
    // is cut: the image goes to the disk first, and a failed flush after the cut leaves it there.
    bool longer = f.length > static_cast<long long>(size);
    if (longer && !(sys::flush(f.fd) && sys::setlength(f.fd, static_cast<long long>(size))))
        return undo(f, size, before, keep);
    if (!f.made && !sys::flush(f.fd)) {
        if (!longer)
            return undo(f, size, before, keep);
        close(f.fd);
        return writefailed;
    }
    if (close(f.fd) == 0)
        return written;
    if (f.made)
        discard(-1, *f.dir, f.dir->name, &f.id);
    return writefailed;
}

}  // namespace

writeresult rewriteinplace(const sys::folder &dir, const uint8_t *data, size_t size) {
    if (size > sizeof kept)
        return writefailed;
    inplace f = openinplace(dir);
    if (f.fd < 0)
        return openfailed;
    // What the rewrite overwrites of the old bytes is kept.
    size_t keep = f.length < static_cast<long long>(size) ? static_cast<size_t>(f.length) : size;
    return rewrite(f, data, size, f.readable && keep > 0 ? kept : nullptr, keep);
}
