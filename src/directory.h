// The directory track of the disk in `image`, read the one way every reader here reads it: the BAM
// and the directory's chain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image.h"

/// True when a track/sector pair names a sector of the disk.
inline bool namessector(int32_t track, int32_t sector) {
    return track >= 1 && track <= numtracks && sector >= 0 && sector < tracksecs[static_cast<size_t>(track)];
}

/// True when the BAM marks the sector free.
inline bool bamfree(int32_t track, int32_t sector) {
    d64::bamspot at = d64::bamfor(track, sector);
    return (getptr(dirtrack, d64::bamsector)[at.byte] & at.bit) != 0;
}

/// Calls `visit` with each 32-byte directory entry in order: the directory's chain from 18/1,
/// followed on track 18 only and through each sector once, so a damaged chain cannot loop.
template <class F> void foreachentry(F visit) {
    std::array<bool, 19> seen{};
    int32_t track = dirtrack, sector = d64::firstdirsector;
    while (track == dirtrack && sector < tracksecs[dirtrack] && !seen[static_cast<size_t>(sector)]) {
        seen[static_cast<size_t>(sector)] = true;
        const uint8_t *dir = getptr(track, sector);
        for (size_t e = 0; e < d64::entriespersector; ++e)
            visit(dir + d64::entrysize * e);
        track = dir[d64::linktrack];
        sector = dir[d64::linksector];
    }
}
