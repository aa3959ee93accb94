#include "image.h"

#include <cstdarg>
#include <cstdlib>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "replace.h"

alignas(4096) uint8_t image[imagesize];

[[noreturn]] static void fail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    exit(-1);
}

long flength(FILE *f) {
    long here = ftell(f);
    if (here < 0 || fseek(f, 0, SEEK_END) != 0)
        return -1;
    long end = ftell(f);
    if (fseek(f, here, SEEK_SET) != 0)
        return -1;
    return end;
}

// Fresh pages cost a fault each on first touch, and faults are dear in a virtual machine; asking
// for all of the image's pages at once is one system call. Where that is not known, it is skipped.
static void prefault() {
#ifdef __linux__
    constexpr int populatewrite = 23;  // MADV_POPULATE_WRITE, Linux 5.14
    [[maybe_unused]] int ignored = madvise(image, sizeof image, populatewrite);
#endif
}

void loadd64file(const char *name) {
    prefault();
    FILE *f = fopen(name, "rb");
    if (f == nullptr)
        fail("Failed to open input file '%s'\n", name);
    // One read straight into the image: a stream buffer would only add copies and system calls.
    setvbuf(f, nullptr, _IONBF, 0);
    if (flength(f) != imagesize)
        fail("File '%s' length != %d bytes.\n", name, imagesize);
    // The length check alone cannot catch a file that shrinks or fails underneath us.
    size_t got = fread(image, 1, sizeof image, f);
    if (fclose(f) != 0 || got != sizeof image)
        fail("Failed to read input file '%s'\n", name);
}

void saved64file(const char *name) {
    switch (replacefile(name, image, sizeof image)) {
    case written: return;
    case openfailed: fail("Failed to open output file '%s'\n", name);
    case writefailed: fail("Failed to write output file '%s'\n", name);
    }
}
