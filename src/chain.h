// Sector links followed the one way every reader here follows them, and the disk's sectors in
// order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image.h"

/// True when a track/sector pair names a sector of the disk.
inline bool namessector(int32_t track, int32_t sector) {
    return track >= 1 && track <= numtracks && sector >= 0 && sector < tracksecs[static_cast<size_t>(track)];
}

/// Calls visit(track, sector) for every sector of the disk, in file order.
template <class F> void foreachsector(F visit) {
    for (int32_t t = 1; t <= numtracks; ++t)
        for (int32_t s = 0; s < tracksecs[static_cast<size_t>(t)]; ++s)
            visit(t, s);
}

/// How a chain ends: at a sector whose link byte 0 is 0, at a link (or a start) that names no
/// sector, at a sector reached a second time, or where the visitor stopped it.
enum class chainend { last, offdisk, loops, stopped };

/// Follows the chain from (track, sector) through `disk`, an image in file order: calls
/// visit(track, sector, bytes) for each sector reached, each once, and says how the chain ended;
/// a visit that returns false ends it there.
template <class F> chainend walkchain(const uint8_t *disk, int32_t track, int32_t sector, F visit) {
    // One bit a sector: a walk costs no more to start than its few words take to clear.
    std::array<uint64_t, (numsectors + 63) / 64> seen{};
    for (;;) {
        if (!namessector(track, sector))
            return chainend::offdisk;
        size_t i = sectorindex(track, sector);
        if ((seen[i / 64] >> (i % 64) & 1) != 0)
            return chainend::loops;
        seen[i / 64] |= uint64_t{1} << (i % 64);
        const uint8_t *p = disk + i * sectorsize;
        if (!visit(track, sector, p))
            return chainend::stopped;
        if (p[d64::linktrack] == 0)
            return chainend::last;
        track = p[d64::linktrack];
        sector = p[d64::linksector];
    }
}
