#include "image.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform.h"
#include "replace.h"
#include "system.h"

alignas(4096) uint8_t image[imagesize];  // whole 4 KiB pages, for the prefault
static_assert(imagesize <= outputroom, "an image fits the output's room");

[[noreturn]] static void fail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    exit(-1);
}

long flength(int fd) {
    auto here = lseek(fd, 0, SEEK_CUR);
    if (here < 0)
        return -1;
    auto end = lseek(fd, 0, SEEK_END);
    if (lseek(fd, here, SEEK_SET) < 0 || end < 0 || end > 0x7fffffff)
        return -1;
    return static_cast<long>(end);
}

void loadd64file(const char *name) {
    sys::prefault(image, sizeof image);
    // Straight into the image, with no stream buffer: that would only add copies and system calls.
    int fd = open(name, O_RDONLY | O_BINARY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))
        fail("Failed to open input file '%s'\n", name);
    long got;
    if (S_ISREG(st.st_mode) || sys::isblockdevice(st.st_mode)) {
        if (flength(fd) != imagesize)
            fail(lengthmessage, name, imagesize);
        // The length check alone cannot catch a file that shrinks or fails underneath us.
        got = readall(fd, image, sizeof image);
        if (got != imagesize)
            got = -1;
    } else {
        // A pipe or a character device cannot be measured, only read: one byte past an image is
        // enough to know it is too long, and keeps an endless one from being read for ever.
        uint8_t past;
        got = readall(fd, image, sizeof image);
        long more = got == imagesize ? readall(fd, &past, 1) : 0;
        got = more < 0 ? -1 : got + more;
        if (got >= 0 && got != imagesize)
            fail(lengthmessage, name, imagesize);
    }
    if (close(fd) != 0 || got < 0)
        fail("Failed to read input file '%s'\n", name);
}

void saved64file(const char *name) {
    switch (replacefile(name, image, sizeof image)) {
    case written: return;
    case openfailed: fail("Failed to open output file '%s'\n", name);
    case writefailed: fail("Failed to write output file '%s'\n", name);
    }
}
