// What kind of output the name leads to, and so which way it is written. The rename and the
// in-place rewrite live in byrename.cpp and inplace.cpp; what each system calls them, in
// replace_system.h.
#include "replace.h"

#include <cerrno>
#include <cstring>

#include "byrename.h"
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
    writeresult result = replacebyrename(target, exists ? &st : nullptr, data, size);
    sys::holdinterrupts(false);
    return result;
}
