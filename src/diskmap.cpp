#include "diskmap.h"

#include <cstring>

#include "directory.h"

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
        memcpy(f.entry, entry, sizeof f.entry);
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

void mapkinds(const uint32_t moving[d64::tracktable], uint8_t kind[numsectors]) {
    foreachsector([kind, moving](int32_t t, int32_t s) {
        kind[sectorindex(t, s)] = t == dirtrack   ? directorysector
                                  : bamfree(t, s) ? freesector
                                  : (moving[t] >> s & 1u) != 0 ? movable
                                                                    : staysput;
    });
}
