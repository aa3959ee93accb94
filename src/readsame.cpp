#include "readsame.h"

#include <array>
#include <cstring>

#include "chain.h"
#include "directory.h"
#include "pickable.h"

namespace {

struct chaindiff {
    differs found;
    int32_t block, track, sector;
};

// Follows the chain from (track, sector) in `before`, then the one there now in `image` block by
// block against it: the same data, the same length, the same ending (for a last sector, its count
// of bytes used). Only the links may differ, since they are what the scatter re-points.
chaindiff comparechain(const uint8_t *before, int32_t track, int32_t sector, int16_t *origin) {
    std::array<int16_t, numsectors> was;
    size_t len = 0;
    chainend ended = walkchain(before, track, sector, [&](int32_t t, int32_t s, const uint8_t *) {
        was[len++] = static_cast<int16_t>(sectorindex(t, s));
        return true;
    });
    auto wasat = [&](size_t k) { return before + static_cast<size_t>(was[k]) * sectorsize; };
    chaindiff d{differs::nothing, 0, track, sector};
    size_t k = 0;
    const uint8_t *last = nullptr;
    chainend now = walkchain(image, track, sector, [&](int32_t t, int32_t s, const uint8_t *p) {
        d = {differs::nothing, static_cast<int32_t>(k), t, s};
        if (k == len) {
            d.found = differs::chainend;
            return false;
        }
        if (memcmp(wasat(k) + 2, p + 2, sectorsize - 2) != 0) {
            d.found = k == 0 ? differs::sectordata : differs::chaindata;
            return false;
        }
        if (origin != nullptr)
            origin[sectorindex(t, s)] = was[k];
        last = p;
        ++k;
        return true;
    });
    if (d.found == differs::nothing &&
        (now != ended || k != len ||
         (ended == chainend::last && last[d64::linksector] != wasat(len - 1)[d64::linksector])))
        d.found = differs::chainend;
    return d;
}

}  // namespace

void findmoving(uint32_t moving[d64::tracktable]) {
    findpickable();
    memset(moving, 0, d64::tracktable * sizeof moving[0]);
    foreachsector([moving](int32_t t, int32_t s) {
        const uint8_t *p = getptr(t, s);
        if (ispickable(t, s, p))
            moving[p[d64::linktrack]] |= 1u << p[d64::linksector];
    });
}

samecheck checkscatter(const uint8_t *before, const uint32_t moving[d64::tracktable], int16_t *origin) {
    samecheck r{};
    if (origin != nullptr)
        for (size_t i = 0; i < static_cast<size_t>(numsectors); ++i)
            origin[i] = -1;
    foreachsector([&](int32_t t, int32_t s) {
        size_t i = sectorindex(t, s);
        if (t == dirtrack) {
            if (origin != nullptr)
                origin[i] = static_cast<int16_t>(i);
            if (r.found == differs::nothing && memcmp(before + i * sectorsize, image + i * sectorsize, sectorsize) != 0)
                r = {differs::directorytrack, 0, t, s, 0, t, s};
            return;
        }
        if ((moving[t] >> s & 1u) != 0)
            return;
        ++r.chains;
        chaindiff d = comparechain(before, t, s, origin);
        if (r.found == differs::nothing && d.found != differs::nothing)
            r = {d.found, 0, t, s, d.block, d.track, d.sector};
    });
    return r;
}

bool readssame(const uint8_t *before, uint8_t track, uint8_t sector) {
    return comparechain(before, track, sector, nullptr).found == differs::nothing;
}

bool entryreadssame(const uint8_t *before, const uint8_t *entry) {
    bool same = true;
    foreachnamed(before, entry, [&](int32_t track, int32_t sector, bool) {
        same = same && comparechain(before, track, sector, nullptr).found == differs::nothing;
    });
    return same;
}
