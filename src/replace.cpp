// Which way the output is written, decided here and nowhere else: straight for a stream or a
// device, by a rename for a file, in place where no rename can be made. byrename.cpp and
// inplace.cpp are the two ways for a file; system.h is what they ask of the system.
#include "replace.h"

#include <cerrno>
#include <cstring>

#include "byrename.h"
#include "inplace.h"
#include "system.h"

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

// A file: by a rename where a file can be made beside it, else in place. An interrupt that came
// while the rename was tried ends the run rather than start the rewrite.
writeresult writefile(const char *target, bool exists, const uint8_t *data, size_t size) {
    sys::folder dir;
    if (!sys::openfolder(target, dir))
        return openfailed;
    writeresult result = writefailed;
    switch (replacebyrename(dir, exists, data, size)) {
    case renamed::written: result = written; break;
    case renamed::openfailed: result = openfailed; break;
    case renamed::writefailed: result = writefailed; break;
    case renamed::inplace: result = sys::interrupted() ? writefailed : rewriteinplace(dir, data, size); break;
    }
    sys::closefolder(dir);
    return result;
}

// The file to replace, once symbolic links are followed.
char target[sys::pathroom];

}  // namespace

writeresult replacefile(const char *name, const uint8_t *data, size_t size) {
    sys::reportfilesizelimit();
    // A name too long for the temporary file's room is written straight, which reports it as
    // before; so is a folder's name.
    size_t namelen = strlen(name);
    if (namelen == 0 || namelen >= sys::pathroom || sys::folderlength(name) == namelen)
        return writestraight(name, data, size);
    memcpy(target, name, namelen + 1);
    switch (sys::followlinks(target, sys::pathroom)) {
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
    writeresult result = writefile(target, exists, data, size);
    sys::holdinterrupts(false);
    return result;
}
