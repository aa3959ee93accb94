// The directory track of the disk in `image`, read the one way every reader here reads it: the BAM
// and the directory's chain.
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

/// Calls `visit` with each 32-byte directory entry in order: the directory's chain from 18/1,
/// followed on track 18 only and through each sector once, so a damaged chain cannot loop.
template <class F> void foreachentry(F visit) {
    walkchain(image, dirtrack, d64::firstdirsector, [&visit](int32_t track, int32_t, const uint8_t *dir) {
        if (track != dirtrack)
            return false;
        for (size_t e = 0; e < d64::entriespersector; ++e)
            visit(dir + d64::entrysize * e);
        return true;
    });
}
