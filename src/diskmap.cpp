#include "diskmap.h"

#include <array>
#include <cstring>

#include "directory.h"
#include "pickable.h"

int32_t listfiles(listedfile files[maxentries]) {
    int32_t n = 0;
    foreachentry([&](const uint8_t *entry) {
        if (entry[d64::filetype] == 0 || n == maxentries)
            return;
        listedfile &f = files[n++];
        f.type = entry[d64::filetype];
        memcpy(f.name, entry + d64::filename, sizeof f.name);
        f.track = entry[d64::firsttrack];
        f.sector = entry[d64::firstsector];
        f.blocks = static_cast<uint16_t>(entry[d64::blockslow] | entry[d64::blockshigh] << 8);
    });
    return n;
}

void mapfiles(const listedfile *files, int32_t count, int16_t owner[numsectors], int16_t step[numsectors]) {
    memset(owner, 0, numsectors * sizeof owner[0]);
    memset(step, 0, numsectors * sizeof step[0]);
    for (int32_t f = 0; f < count; ++f) {
        int16_t n = 0;
        walkchain(image, files[f].track, files[f].sector, [&](int32_t track, int32_t sector, const uint8_t *) {
            size_t i = sectorindex(track, sector);
            if (owner[i] == 0) {
                owner[i] = static_cast<int16_t>(f + 1);
                step[i] = n;
            }
            ++n;
            return true;
        });
    }
}

void mapkinds(uint8_t kind[numsectors]) {
    findpickable();
    foreachsector([kind](int32_t t, int32_t s) {
        kind[sectorindex(t, s)] = t == dirtrack   ? directorysector
                                  : bamfree(t, s) ? freesector
                                  : (picktargets[t] >> s & 1u) != 0 ? movable
                                                                    : staysput;
    });
}

bool readssame(const uint8_t *before, uint8_t track, uint8_t sector) {
    // The chain as it was, then the one there now, sector by sector against it: the same data, the
    // same length and the same ending (for the last sector, its count of bytes used).
    std::array<const uint8_t *, numsectors> was{};
    size_t len = 0;
    chainend ended = walkchain(before, track, sector, [&](int32_t, int32_t, const uint8_t *p) {
        was[len++] = p;
        return true;
    });
    size_t k = 0;
    const uint8_t *last = nullptr;
    chainend now = walkchain(image, track, sector, [&](int32_t, int32_t, const uint8_t *p) {
        if (k == len || memcmp(was[k] + 2, p + 2, sectorsize - 2) != 0)
            return false;
        last = p;
        ++k;
        return true;
    });
    if (now != ended || k != len)
        return false;
    return ended != chainend::last || last[d64::linksector] == was[len - 1][d64::linksector];
}
