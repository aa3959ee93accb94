// Replacing the output by a rename, in numbered steps; each says what holds once it is done. Where
// a file stands at the name, the new image goes to the disk before the rename and the folder after
// it, so a power cut at any moment leaves the old image or the new one. A new output that was made
// without a name is not forced, which keeps a batch fast: a cut may leave it short or empty, never
// another file's bytes.
#include "byrename.h"

#include <cerrno>

#include "filemode.h"
#include "tempfile.h"

namespace {

// What stands at the output's name at this moment, opened to read its owner, mode and ACL.
struct standing {
    sys::pathkind kind = sys::pathkind::missing;
    int fd = -1;
    struct stat st {};
};

standing lookatname(const sys::folder &dir) {
    standing at;
    at.kind = sys::lookat(dir);
    if (at.kind == sys::pathkind::plain && (at.fd = sys::openforaccess(dir)) >= 0 && !sys::ownerof(at.fd, at.st)) {
        close(at.fd);
        at.fd = -1;
    }
    return at;
}

// The new file takes the access of the regular file it replaces. Where it replaces nothing after
// all (the file went meanwhile), one made for its owner alone gets a new file's access; where what
// it replaces cannot be read for that, it stays for its owner alone.
bool takeaccess(sys::tempfile &tmp, standing &at, bool madeprivate) {
    bool ok = true;
    if (at.kind == sys::pathkind::missing)
        ok = !madeprivate || sys::setmode(tmp.fd, sys::createmode());
    else if (at.fd >= 0 && S_ISREG(at.st.st_mode))
        ok = givemode(tmp.fd, at.fd, at.st);
    else  // not a file, or not to be read: its owner alone
        ok = sys::setmode(tmp.fd, 0600);
    if (at.fd >= 0)
        close(at.fd);
    at.fd = -1;
    return ok;
}

// Gives the new file the output's name: over the file there (`replacing`), from a name of its own
// (given it for that moment where it has none); else only where the name is still free, false
// with EEXIST where a file has come there since.
bool publish(const sys::folder &dir, sys::tempfile &tmp, bool replacing) {
    if (!tmp.named && !replacing)
        return sys::linkin(tmp.fd, dir, dir.name);
    for (int tries = 0; !tmp.named && tries < 100; ++tries) {
        if (!nametemp(dir, tmp))
            return false;
        tmp.named = sys::linkin(tmp.fd, dir, tmp.name);
        if (!tmp.named && errno != EEXIST)
            return false;
    }
    return sys::renameover(dir, tmp, replacing);
}

// A step that failed: the temporary file goes, and the run fails with `result`, or goes on in place
// where `inplace` (the file itself may still be writable, or the disk may have room for one copy).
renamed giveup(const sys::folder &dir, sys::tempfile &tmp, renamed result) {
    return droptemp(dir, tmp) ? result : renamed::writefailed;
}

}  // namespace

renamed replacebyrename(const sys::folder &dir, bool existed, const uint8_t *data, size_t size) {
    // 1. A file of its own in the output's folder. After it: the output as it was, and a new file,
    //    unnamed where the system can make one so (nothing is left of it after a power cut or
    //    kill -9), else under a name of its own, locked, with what killed runs left at this output
    //    removed; for its owner alone where it is to replace a file.
    sys::tempfile tmp;
    if (!createtemp(dir, tmp, existed))
        return renamed::inplace;
    tmp.known = sys::identify(tmp.fd, tmp.id);
    bool hadname = tmp.named;

    // 2. The image in it. After it: the whole image in a file no other name leads to.
    if (writeall(tmp.fd, data, size) != size) {
        int why = errno;
        return giveup(dir, tmp, sys::noroom(why) ? renamed::inplace : renamed::writefailed);
    }

    // 3. Its access: that of what stands at the name now. A symbolic link there is never replaced:
    //    the name was followed to its file, so a link there now is another program's doing (and
    //    may be a system's own, /dev/stdout). After it: the new file's owner, mode and ACL are
    //    those of the file it replaces, or no wider.
    standing at = lookatname(dir);
    if (at.kind == sys::pathkind::link || at.kind == sys::pathkind::failed) {
        if (at.fd >= 0)
            close(at.fd);
        return giveup(dir, tmp, renamed::openfailed);
    }
    bool replacing = at.kind == sys::pathkind::plain;
    for (int round = 0; round < 2; ++round) {
        if (!takeaccess(tmp, at, existed) && !sys::setmode(tmp.fd, 0600))
            return giveup(dir, tmp, renamed::writefailed);

        // 4. Where it replaces a file, to the disk. After it: the new image is on the disk and the
        //    old one still at the name.
        if (replacing && !sys::flush(tmp.fd)) {
            int why = errno;
            return giveup(dir, tmp, sys::noroom(why) ? renamed::inplace : renamed::writefailed);
        }

        // 5. The name, looked at once more just before, through the folder opened at the start: a
        //    link put there during the flush is not replaced either. After it: the name leads to the
        //    new image; until step 6 a power cut may still show the old one, never a mix.
        if (sys::lookat(dir) == sys::pathkind::link)
            return giveup(dir, tmp, renamed::openfailed);
        if (publish(dir, tmp, replacing))
            break;
        // Another program put a file at the name meanwhile: it is replaced like any other, durably,
        // with its own access.
        if (replacing || errno != EEXIST || round == 1)
            return giveup(dir, tmp, renamed::inplace);
        at = lookatname(dir);
        if (at.kind != sys::pathkind::plain) {
            if (at.fd >= 0)
                close(at.fd);
            return giveup(dir, tmp, at.kind == sys::pathkind::link ? renamed::openfailed : renamed::inplace);
        }
        replacing = true;
    }

    // 6. The folder to the disk, where a file was replaced or the new file had a name of its own
    //    until now. After it: the rename survives a power cut and no temporary name is left. Where
    //    the folder cannot be opened for that (one the user may write and search but not read), the
    //    file is flushed once more: on the journalling file systems (ext4, XFS, btrfs) that commits
    //    the rename with it.
    // A rename made by a link leaves the temporary name too: it goes first. Where it cannot, the
    // run fails with the image in place.
    const sys::fileid *mine = tmp.known ? &tmp.id : nullptr;
    if (tmp.named)
        tmp.named = !removeifours(dir, tmp.name, mine) && !removeifours(dir, tmp.name, mine);
    bool durable = !tmp.named && !(replacing || hadname);
    if (!tmp.named && !durable)
        switch (sys::flushfolder(dir)) {
        case sys::flushed::done: durable = true; break;
        case sys::flushed::unopened: durable = sys::flush(tmp.fd); break;
        case sys::flushed::failed: break;
        }

    // 7. Closed. A close that fails after a replaced file was flushed loses nothing: its data went
    //    to the disk in step 4. A new output's may mean its data never arrived, and it goes again.
    if (tmp.fd >= 0 && close(tmp.fd) != 0 && !replacing) {
        discard(-1, dir, dir.name, tmp.known ? &tmp.id : nullptr);
        return renamed::writefailed;
    }
    return durable ? renamed::written : renamed::writefailed;
}
