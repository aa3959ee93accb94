#include "readsame.h"

#include <array>
#include <cstring>

#include "chain.h"
#include "directory.h"

namespace {

struct chaindiff {
    differs found;
    int32_t block, track, sector;
    int32_t prevtrack, prevsector;  // the block before it, whose link led there
};

constexpr size_t databytes = sectorsize - 2;

// Follows the chain from (track, sector) in `before`, then the one there now in `image` block by
// block against it: the same data, the same length, the same ending. Only the links of holders of
// pickable links may differ, since they are what the scatter re-points; every other block keeps
// its two link bytes too, the count of bytes used in a last sector among them.
chaindiff comparechain(const uint8_t *before, const whatmoves &m, int32_t track, int32_t sector, int16_t *origin) {
    std::array<int16_t, numsectors> was;
    std::array<bool, numsectors> linkstays;  // along the chain: a block whose link is never re-pointed
    size_t len = 0;
    chainend ended = walkchain(before, track, sector, [&](int32_t t, int32_t s, const uint8_t *) {
        linkstays[len] = (m.holders[t] >> s & 1u) == 0;
        was[len++] = static_cast<int16_t>(sectorindex(t, s));
        return true;
    });
    auto wasat = [&](size_t k) { return before + static_cast<size_t>(was[k]) * sectorsize; };
    chaindiff d{differs::nothing, 0, track, sector, track, sector};
    size_t k = 0;
    chainend now = walkchain(image, track, sector, [&](int32_t t, int32_t s, const uint8_t *p) {
        d = {differs::nothing, static_cast<int32_t>(k), t, s, d.track, d.sector};
        if (k == len) {
            // Longer than it was: named by the block whose link goes on.
            d = {differs::chainend, static_cast<int32_t>(k) - 1, d.prevtrack, d.prevsector, d.prevtrack, d.prevsector};
            return false;
        }
        // One comparison for the bytes that must agree, then, only where they do not, which ones.
        const uint8_t *b = wasat(k);
        size_t from = linkstays[k] ? 0 : 2;
        if (memcmp(b + from, p + from, sectorsize - from) != 0) {
            if (memcmp(b + 2, p + 2, databytes) != 0)
                d.found = k == 0 ? differs::sectordata : differs::chaindata;
            else
                d.found = b[d64::linktrack] == 0 ? differs::chainend : differs::chainlink;
            return false;
        }
        if (origin != nullptr)
            origin[sectorindex(t, s)] = was[k];
        ++k;
        return true;
    });
    if (d.found == differs::nothing && (now != ended || k != len))
        d.found = differs::chainend;
    return d;
}

// True when `data` is, byte for byte, the data of some sector of `before`: a block that reads
// other data but is not damaged itself was reached by a link that changed.
bool somesectorholds(const uint8_t *before, const uint8_t *data) {
    for (size_t i = 0; i < static_cast<size_t>(numsectors); ++i)
        if (memcmp(before + i * sectorsize + 2, data + 2, databytes) == 0)
            return true;
    return false;
}

}  // namespace

samecheck checkscatter(const uint8_t *before, const whatmoves &m, int16_t *origin) {
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
                r = {differs::directorytrack, r.chains, t, s, 0, t, s};
            return;
        }
        if ((m.targets[t] >> s & 1u) != 0)
            return;
        ++r.chains;
        chaindiff d = comparechain(before, m, t, s, origin);
        if (r.found != differs::nothing || d.found == differs::nothing)
            return;
        if (d.found == differs::chaindata && somesectorholds(before, getptr(d.track, d.sector)))
            d = {differs::chainlink, d.block - 1, d.prevtrack, d.prevsector, d.prevtrack, d.prevsector};
        r = {d.found, r.chains, t, s, d.block, d.track, d.sector};
    });
    return r;
}

bool readssame(const uint8_t *before, const whatmoves &m, uint8_t track, uint8_t sector) {
    return comparechain(before, m, track, sector, nullptr).found == differs::nothing;
}

bool entryreadssame(const uint8_t *before, const whatmoves &m, const uint8_t *entry) {
    bool same = true;
    foreachnamed(before, entry, [&](int32_t track, int32_t sector, bool) {
        same = same && comparechain(before, m, track, sector, nullptr).found == differs::nothing;
    });
    return same;
}
