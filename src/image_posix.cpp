// Loading an image on Linux, macOS and the BSDs.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "image_system.h"

namespace sys {

// Faults are dear in a virtual machine, and asking for all the pages at once is one system call.
// Only whole pages may be asked for, and a page is not 4 KiB everywhere (arm64 may have 64 KiB),
// so the pages that lie wholly inside the buffer are; the rest fault as ever. Linux alone knows
// the request (MADV_POPULATE_WRITE, 5.14); elsewhere, or where it is refused, it is skipped.
void prefault([[maybe_unused]] void *start, [[maybe_unused]] size_t size) {
#ifdef __linux__
    constexpr int populatewrite = 23;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0)
        return;
    auto mask = static_cast<uintptr_t>(page) - 1;
    auto from = (reinterpret_cast<uintptr_t>(start) + mask) & ~mask;
    auto to = (reinterpret_cast<uintptr_t>(start) + size) & ~mask;
    if (from < to)
        [[maybe_unused]] int ignored = madvise(reinterpret_cast<void *>(from), to - from, populatewrite);
#endif
}

bool isblockdevice(unsigned mode) { return S_ISBLK(mode); }

}  // namespace sys
