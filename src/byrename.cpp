// Replacing the output by a rename: a new file in the output's folder, given the old file's
// owner, mode and ACL, then the output's name. Whether a file stands at the name is read at that
// moment, not at the start: where one does, the new file goes to the disk first and the folder
// after the rename, so a power cut leaves the old image or the new one; a new output is not
// forced, which keeps a batch fast.
#include "byrename.h"

#include <cerrno>

#include "inplace.h"
#include "replace_system.h"

namespace {

// Made with a random name or none, so where its identity cannot be checked the name is still its
// own. One left behind would take the room an in-place rewrite needs: a second try, and a run that
// still cannot remove it goes no further.
bool removetemp(const sys::folder &dir, sys::tempfile &tmp) { return sys::droptemp(dir, tmp) || sys::droptemp(dir, tmp); }

enum class outcome { published, unflushed, refused };

// The new file, written and given the old file's mode, takes the output's name; errno says why
// where it did not. `replacing` says, afterwards, whether it replaced a file.
outcome putinplace(const sys::folder &dir, sys::tempfile &tmp, sys::pathkind kind, bool &replacing) {
    replacing = kind == sys::pathkind::plain;
    if (replacing && !sys::flush(tmp.fd))
        return outcome::unflushed;
    if (sys::publish(dir, tmp, replacing))
        return outcome::published;
    // Another program put a file at the name meanwhile: it is replaced like any other.
    if (replacing || errno != EEXIST)
        return outcome::refused;
    replacing = true;
    if (!sys::flush(tmp.fd))
        return outcome::unflushed;
    return sys::publish(dir, tmp, true) ? outcome::published : outcome::refused;
}

writeresult intofolder(const sys::folder &dir, const char *target, const struct stat *old, const uint8_t *data,
                       size_t size) {
    sys::tempfile tmp;
    if (!sys::createtemp(dir, tmp, old != nullptr))
        return rewriteinplace(target, data, size);
    tmp.known = sys::identify(tmp.fd, tmp.id);
    bool ok = writeall(tmp.fd, data, size) == size;
    int why = errno;
    if (ok)
        sys::givemode(tmp.fd, old, target);
    // Never rename over a symbolic link, which may be a system's own (/dev/stdout): the name to
    // replace was followed to its file, so a link there now is another program's doing.
    sys::pathkind kind = ok ? sys::lookat(dir) : sys::pathkind::plain;
    bool replacing = false;
    outcome done = outcome::refused;
    if (ok && (kind == sys::pathkind::missing || kind == sys::pathkind::plain)) {
        done = putinplace(dir, tmp, kind, replacing);
        ok = done != outcome::unflushed;
        why = errno;
    }
    if (done == outcome::published) {
        bool durable = !replacing || sys::flushfolder(dir, tmp);
        if (tmp.fd < 0 || close(tmp.fd) == 0)
            return durable ? written : writefailed;
        // A close that fails may mean the data never arrived: a new output goes again.
        if (!replacing)
            sys::discard(-1, target, tmp.known ? &tmp.id : nullptr);
        return writefailed;
    }
    if (!removetemp(dir, tmp))
        return writefailed;
    if (kind == sys::pathkind::link || kind == sys::pathkind::failed)
        return openfailed;
    if (sys::interrupted())
        return writefailed;
    // A refused rename (a sticky folder, say) may still leave the file itself writable.
    return ok || sys::noroom(why) ? rewriteinplace(target, data, size) : writefailed;
}

}  // namespace

writeresult replacebyrename(const char *target, const struct stat *old, const uint8_t *data, size_t size) {
    sys::folder dir;
    if (!sys::openfolder(target, dir))
        return rewriteinplace(target, data, size);
    writeresult result = intofolder(dir, target, old, data, size);
    sys::closefolder(dir);
    return result;
}
