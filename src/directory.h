// The directory of the disk in `image`, read the one way every reader here reads it: the BAM, and
// the directory's chain as the drive follows it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chain.h"
#include "image.h"

/// True when the BAM marks the sector free.
inline bool bamfree(int32_t track, int32_t sector) {
    d64::bamspot at = d64::bamfor(track, sector);
    return (getptr(dirtrack, d64::bamsector)[at.byte] & at.bit) != 0;
}

/// Calls visit(track, sector, bytes) for each sector of the directory in `disk`, in order: the
/// chain from 18/1 through each sector's link wherever on the disk it leads, as the drive follows
/// it when it lists the disk or looks a file up. The drive stops at a link that names no sector
/// (a read error); where the chain comes back to a sector already read it would list the same
/// entries again for ever, and here it stops instead.
template <class F> void foreachdirsector(const uint8_t *disk, F visit) {
    walkchain(disk, dirtrack, d64::firstdirsector, [&visit](int32_t track, int32_t sector, const uint8_t *dir) {
        visit(track, sector, dir);
        return true;
    });
}

/// Calls `visit` with each 32-byte directory entry of `image` in order, 8 a directory sector.
template <class F> void foreachentry(F visit) {
    foreachdirsector(image, [&visit](int32_t, int32_t, const uint8_t *dir) {
        for (size_t e = 0; e < d64::entriespersector; ++e)
            visit(dir + d64::entrysize * e);
    });
}

/// Calls visit(track, sector, wholechain) for each place a file's directory entry names by number
/// rather than by a link, in `disk`: its first sector; for REL, the chains of its data and of its
/// side sectors, which list the data sectors by number (wholechain); for GEOS, the info block and,
/// for VLIR, the first sector of every record in the index block. Entries of no file type name none.
template <class F> void foreachnamed(const uint8_t *disk, const uint8_t *entry, F visit) {
    using namespace d64;
    if (!isfiletype(entry[filetype]))
        return;
    uint8_t type = entry[filetype] & typemask;
    visit(entry[firsttrack], entry[firstsector], type == rel);
    if (type == rel) {
        visit(entry[sidetrack], entry[sidesector], true);
    } else if (entry[geostype] != 0) {
        visit(entry[sidetrack], entry[sidesector], false);
        if (entry[geosstructure] == geosvlir && namessector(entry[firsttrack], entry[firstsector])) {
            const uint8_t *index = disk + sectorindex(entry[firsttrack], entry[firstsector]) * sectorsize;
            for (int32_t i = 2; i < sectorsize; i += 2)
                visit(index[i], index[i + 1], false);
        }
    }
}
