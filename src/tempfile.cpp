#include "tempfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Where the system gives no random bytes, a mix of the time and where the stack lies, which
// differs from run to run; either keeps two runs from trying the same names for long. Kept at
// file scope: a function's static would bring the C++ runtime's guard along.
uint32_t mix;

void suffix(char out[7]) {
    unsigned char bytes[6];
    if (!sys::randombytes(bytes, sizeof bytes)) {
        if (mix == 0)
            mix = static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&bytes) >> 4) * 2654435761u;
        for (unsigned char &b : bytes)
            b = static_cast<unsigned char>((mix = mix * 1103515245u + 12345u) >> 16);
    }
    for (size_t i = 0; i < sizeof bytes; ++i)
        out[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[bytes[i] % 36];
    out[6] = '\0';
}

}  // namespace

bool nametemp(const sys::folder &dir, sys::tempfile &tmp) {
    char tail[7];
    suffix(tail);
    size_t base = sys::folderlength(dir.target);
    int len = snprintf(tmp.name, sizeof tmp.name, "%.*s.%s.scatterdisk-%s", static_cast<int>(dir.prefix), dir.target,
                       dir.target + base, tail);
    if (len >= 0 && static_cast<size_t>(len) < sizeof tmp.name)
        return true;
    errno = ENAMETOOLONG;
    return false;
}

namespace {

// Whether `name` is one that nametemp() gives this output: .NAME.scatterdisk-XXXXXX.
bool istempname(const sys::folder &dir, const char *name) {
    const char *base = dir.target + sys::folderlength(dir.target), *tail = ".scatterdisk-";
    size_t baselen = strlen(base), taillen = strlen(tail);
    if (strlen(name) != 1 + baselen + taillen + 6 || name[0] != '.' || strncmp(name + 1, base, baselen) != 0 ||
        strncmp(name + 1 + baselen, tail, taillen) != 0)
        return false;
    for (const char *c = name + 1 + baselen + taillen; *c != '\0'; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9')))
            return false;
    return true;
}

void removeifdead(const char *name, void *context) {
    const sys::folder &dir = *static_cast<const sys::folder *>(context);
    if (!istempname(dir, name))
        return;
    char path[sys::pathroom];
    int len = snprintf(path, sizeof path, "%.*s%s", static_cast<int>(dir.prefix), dir.target, name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path)
        return;
    int fd = sys::openown(dir, path);
    sys::fileid id;
    if (fd < 0)
        return;
    // Held now by this run, the lock keeps a run that starts meanwhile from taking it for its own.
    if (sys::trylock(fd) == sys::locked::held && sys::identify(fd, id))
        discard(fd, dir, path, &id);
    else
        close(fd);
}

}  // namespace

void removeleftovers(const sys::folder &dir) {
    sys::folder copy = dir;
    sys::foreachname(dir, removeifdead, &copy);
}

bool createtemp(const sys::folder &dir, sys::tempfile &tmp, bool replacing) {
    // Unnamed, so that a power cut or kill -9 leaves nothing of it. Replacing a file, it will need
    // a name for a moment: one the folder cannot take sends the run in place before anything is
    // written.
    long longest = sys::namemax(dir);
    if (replacing && longest > 0 && nametemp(dir, tmp) && strlen(tmp.name) > static_cast<size_t>(longest)) {
        errno = ENAMETOOLONG;
        return false;
    }
    tmp.fd = sys::createunnamed(dir, replacing);
    if (tmp.fd >= 0 || errno != EOPNOTSUPP)
        return tmp.fd >= 0;
    // Only where files need names can a killed run have left one: the folder is read for them
    // here, and not on every run.
    removeleftovers(dir);
    for (int tries = 0; tries < 100; ++tries) {
        if (!nametemp(dir, tmp))
            return false;
        tmp.fd = sys::createnamed(dir, tmp.name, replacing);
        tmp.named = tmp.fd >= 0;
        // Locked at once, so that a later run can tell a live run's file from a dead one's.
        if (tmp.named)
            sys::trylock(tmp.fd);
        if (tmp.fd >= 0 || errno != EEXIST)
            return tmp.fd >= 0;
    }
    return false;
}

bool removeifours(const sys::folder &dir, const char *name, const sys::fileid *mine) {
    sys::fileid now;
    if (mine != nullptr && sys::identifyat(dir, name, now) && !(now == *mine))
        return true;  // another file is there now: not the run's to remove
    return sys::removeat(dir, name);
}

bool discard(int fd, const sys::folder &dir, const char *name, const sys::fileid *mine) {
    if (!sys::removesopen && fd >= 0)
        close(fd);
    bool gone = removeifours(dir, name, mine);
    if (sys::removesopen && fd >= 0)
        close(fd);
    return gone;
}

bool droptemp(const sys::folder &dir, sys::tempfile &tmp) {
    int fd = tmp.fd;
    tmp.fd = -1;
    if (!tmp.named) {
        if (fd >= 0)
            close(fd);
        return true;
    }
    const sys::fileid *mine = tmp.known ? &tmp.id : nullptr;
    tmp.named = !discard(fd, dir, tmp.name, mine) && !discard(-1, dir, tmp.name, mine);
    return !tmp.named;
}
