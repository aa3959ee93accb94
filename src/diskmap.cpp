#include "diskmap.h"

#include <array>
#include <cstring>

#include "directory.h"
#include "pickable.h"

namespace {

const uint8_t *sectorof(const uint8_t *disk, int32_t track, int32_t sector) {
    return disk + trackoffs[static_cast<size_t>(track)] + sector * sectorsize;
}

}  // namespace

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
        std::array<bool, numsectors> seen{};
        int32_t track = files[f].track, sector = files[f].sector;
        for (int16_t n = 0; namessector(track, sector) && !seen[sectorindex(track, sector)]; ++n) {
            size_t i = sectorindex(track, sector);
            seen[i] = true;
            if (owner[i] == 0) {
                owner[i] = static_cast<int16_t>(f + 1);
                step[i] = n;
            }
            const uint8_t *p = getptr(track, sector);
            if (p[d64::linktrack] == 0)
                break;
            track = p[d64::linktrack];
            sector = p[d64::linksector];
        }
    }
}

void mapkinds(uint8_t kind[numsectors]) {
    findpickable();
    for (int32_t t = 1; t <= numtracks; ++t)
        for (int32_t s = 0; s < tracksecs[static_cast<size_t>(t)]; ++s)
            kind[sectorindex(t, s)] = t == dirtrack ? directorysector
                                      : bamfree(t, s) ? freesector
                                      : (picktargets[t] >> s & 1u) != 0 ? movable
                                                                        : staysput;
}

bool readssame(const uint8_t *before, uint8_t track, uint8_t sector) {
    int32_t ta = track, sa = sector, tb = track, sb = sector;
    // At most one pass over the disk: a chain that loops reads the same as far as that goes.
    for (int32_t n = 0; n < numsectors; ++n) {
        bool a = namessector(ta, sa), b = namessector(tb, sb);
        if (!a || !b)
            return a == b;
        const uint8_t *pa = sectorof(before, ta, sa), *pb = getptr(tb, sb);
        if (memcmp(pa + 2, pb + 2, sectorsize - 2) != 0)
            return false;
        bool enda = pa[d64::linktrack] == 0, endb = pb[d64::linktrack] == 0;
        if (enda || endb)
            return enda && endb && pa[d64::linksector] == pb[d64::linksector];
        ta = pa[d64::linktrack];
        sa = pa[d64::linksector];
        tb = pb[d64::linktrack];
        sb = pb[d64::linksector];
    }
    return true;
}
