// Replacing the output by a rename: a complete temporary file beside it, given the old file's
// mode, forced to the disk where it replaces one, renamed over it, and the folder forced after.
// A power cut then leaves the old image or the new one; a new output is not forced, which keeps a
// batch fast.
#include "byrename.h"

#include <cerrno>

#include "inplace.h"
#include "replace_system.h"

namespace {

// The temporary file this run made: its name, and which file that is, so that only it is removed.
struct tempfile {
    char name[sys::pathroom];
    sys::fileid id;
    bool known;
};

// Made with O_EXCL and a random name, so where its identity cannot be checked the name is still
// its own. One left behind would take the room an in-place rewrite needs: a second try, and a run
// that still cannot remove it goes no further.
bool removetemp(const tempfile &tmp) {
    const sys::fileid *mine = tmp.known ? &tmp.id : nullptr;
    return sys::discard(-1, tmp.name, mine) || sys::discard(-1, tmp.name, mine);
}

// Writes the image into the open temporary file, gives it the old file's mode, forces it to the
// disk where it replaces one, and closes it; errno says why it failed.
bool writetemp(int fd, const struct stat *old, const uint8_t *data, size_t size) {
    bool ok = writeall(fd, data, size) == size;
    if (ok)
        sys::givemode(fd, old);
    ok = ok && (old == nullptr || sys::flush(fd));
    int why = errno;
    if (close(fd) != 0 && ok)
        return false;
    errno = why;
    return ok;
}

}  // namespace

writeresult replacebyrename(const char *target, const struct stat *old, const uint8_t *data, size_t size) {
    tempfile tmp;
    int fd = sys::createtemp(target, tmp.name, sizeof tmp.name);
    if (fd < 0)
        return rewriteinplace(target, data, size);
    tmp.known = sys::identify(fd, tmp.id);
    bool durable = old != nullptr;
    bool ok = writetemp(fd, old, data, size);
    int why = errno;
    // Never rename over a symbolic link, which may be a system's own (/dev/stdout): the name to
    // replace was followed to its file, so a link there now is another program's doing.
    sys::pathkind kind = ok ? sys::lookat(target) : sys::pathkind::plain;
    if (ok && (kind == sys::pathkind::missing || kind == sys::pathkind::plain) &&
        sys::renameover(tmp.name, target, durable))
        return !durable || sys::flushfolder(target) ? written : writefailed;
    if (!removetemp(tmp))
        return writefailed;
    if (kind == sys::pathkind::link || kind == sys::pathkind::failed)
        return openfailed;
    if (sys::interrupted())
        return writefailed;
    // A refused rename (a sticky folder, say) may still leave the file itself writable.
    return ok || sys::noroom(why) ? rewriteinplace(target, data, size) : writefailed;
}
