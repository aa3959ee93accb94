// libFuzzer target: the fuzzer steers the structure of a disk (links, BAM bits, directory entries,
// any byte anywhere) and the scatter, run through the page's entry, must keep what it promises for
// every disk.
//
// Input: records of 6 bytes (op, sector high, sector low, a, b, c) applied to a blank disk whose
// sectors carry their own place as data. Sector numbers run over all 683 sectors, track 18 included.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "image.h"
#include "scrambler.h"
#include "web.h"

namespace {

struct where {
    int32_t track, sector;
};

where placeof(uint32_t index) {
    index %= numsectors;
    int32_t t = 1;
    while (index >= static_cast<uint32_t>(tracksecs[static_cast<size_t>(t)]))
        index -= static_cast<uint32_t>(tracksecs[static_cast<size_t>(t++)]);
    return {t, static_cast<int32_t>(index)};
}

size_t offsetof_(int32_t track, int32_t sector) { return static_cast<size_t>(getptr(track, sector) - image); }

bool real(int32_t track, int32_t sector) {
    return track >= 1 && track <= numtracks && sector < tracksecs[static_cast<size_t>(track)];
}

bool isfree(const uint8_t *d, int32_t track, int32_t sector) {
    d64::bamspot at = d64::bamfor(track, sector);
    return (d[offsetof_(dirtrack, d64::bamsector) + at.byte] & at.bit) != 0;
}

// The sectors a reader finds through the directory rather than through links.
void name(const uint8_t *d, std::set<size_t> &named, int32_t track, int32_t sector, bool wholechain) {
    std::set<size_t> seen;
    while (real(track, sector) && seen.insert(offsetof_(track, sector)).second) {
        const uint8_t *p = d + offsetof_(track, sector);
        named.insert(offsetof_(track, sector));
        if (!wholechain || p[d64::linktrack] == 0)
            return;
        track = p[d64::linktrack];
        sector = p[d64::linksector];
    }
}

// Written from the format, not from the tool's code: a file's first sector by its type (SEQ, PRG,
// USR or REL); for REL, its data chain and its side-sector chain, which lists the data sectors by
// number; for GEOS files (a GEOS type in byte 24), the info block, and for VLIR (structure 1) every
// record start in the index block. A walk of the directory's own chain on track 18 finds them.
std::set<size_t> directorynamed(const uint8_t *d) {
    using namespace d64;
    std::set<size_t> named;
    std::set<int32_t> visited;
    for (int32_t t = dirtrack, s = firstdirsector; t == dirtrack && s < tracksecs[dirtrack] && visited.insert(s).second;) {
        const uint8_t *sec = d + offsetof_(t, s);
        for (const uint8_t *e = sec; e < sec + sectorsize; e += entrysize) {
            uint8_t type = e[filetype] & typemask;
            bool file = type == seq || type == prg || type == usr || type == rel;
            bool geos = file && type != rel && e[geostype] != 0;
            if (!file)
                continue;
            name(d, named, e[firsttrack], e[firstsector], type == rel);
            if (type == rel)
                name(d, named, e[sidetrack], e[sidesector], true);
            if (geos)
                name(d, named, e[sidetrack], e[sidesector], false);
            if (geos && e[geosstructure] == geosvlir && real(e[firsttrack], e[firstsector]))
                for (size_t i = 2; i < sectorsize; i += 2)
                    name(d, named, d[offsetof_(e[firsttrack], e[firstsector]) + i],
                         d[offsetof_(e[firsttrack], e[firstsector]) + i + 1], false);
        }
        t = sec[linktrack];
        s = sec[linksector];
    }
    return named;
}

void check(bool ok) {
    if (!ok)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::memset(image, 0, sizeof image);
    for (uint32_t i = 0; i < static_cast<uint32_t>(numsectors); ++i) {
        where w = placeof(i);
        uint8_t *p = getptr(w.track, w.sector);
        p[2] = static_cast<uint8_t>(w.track);
        p[3] = static_cast<uint8_t>(w.sector);
    }
    for (size_t at = 0; at + 6 <= size; at += 6) {
        const uint8_t *r = data + at;
        where w = placeof(static_cast<uint32_t>(r[1] << 8 | r[2]));
        uint8_t *p = getptr(w.track, w.sector);
        switch (r[0] % 6) {
        case 0:
        case 1: p[0] = r[3] % 37, p[1] = r[4] % 23; break;  // mostly links that name a sector
        case 2: p[0] = r[3], p[1] = r[4]; break;
        case 3: getptr(dirtrack, d64::bamsector)[d64::bamfor(w.track, w.sector).byte] |= d64::bamfor(w.track, w.sector).bit; break;
        case 4: {
            uint8_t *e = getptr(dirtrack, 1 + r[1] % 18) + d64::entrysize * (r[2] % d64::entriespersector);
            e[d64::filetype] = r[3], e[d64::firsttrack] = r[4] % 37, e[d64::firstsector] = r[5] % 23;
            break;
        }
        default: p[r[3]] = r[4], p[(r[3] + 1) % sectorsize] = r[5]; break;
        }
    }
    std::vector<uint8_t> before(image, image + imagesize);
    std::set<size_t> named = directorynamed(before.data());
    // Scattered as the page does it, with the page's map, listing and check, which must find
    // that everything reads the same.
    std::memcpy(web_input(), before.data(), before.size());
    check(web_scatter(imagesize) == 0);
    check(web_check() == 0 && web_verdict()[0] == 0);
    check(web_blocksfree() >= 0 && web_verdict()[7] <= web_verdict()[9]);
    for (int32_t f = 0; f < web_count(); ++f)
        check(web_typename(web_type(f)) != nullptr && (!web_isfile(web_type(f)) || web_same(f) == 1));

    size_t dirfrom = offsetof_(dirtrack, 0), dirto = offsetof_(dirtrack + 1, 0);
    check(std::equal(image + dirfrom, image + dirto, before.begin() + static_cast<long>(dirfrom)));
    std::multiset<std::vector<uint8_t>> was, now;
    for (uint32_t i = 0; i < static_cast<uint32_t>(numsectors); ++i) {
        where w = placeof(i);
        size_t o = offsetof_(w.track, w.sector);
        was.insert(std::vector<uint8_t>(before.begin() + static_cast<long>(o + 2), before.begin() + static_cast<long>(o + sectorsize)));
        now.insert(std::vector<uint8_t>(image + o + 2, image + o + sectorsize));
        if (isfree(before.data(), w.track, w.sector))
            check(std::equal(image + o, image + o + sectorsize, before.begin() + static_cast<long>(o)));
        if (named.count(o))
            check(std::equal(image + o + 2, image + o + sectorsize, before.begin() + static_cast<long>(o + 2)));
    }
    check(was == now);

    // A chain read from a sector no link points at, which therefore never moves, reads the same
    // data step for step, however its links were bent (bounded: the point is the first steps).
    std::vector<bool> pointedat(imagesize);
    for (uint32_t i = 0; i < static_cast<uint32_t>(numsectors); ++i) {
        where w = placeof(i);
        const uint8_t *p = &before[offsetof_(w.track, w.sector)];
        if (real(p[0], p[1]))
            pointedat[offsetof_(p[0], p[1])] = true;
    }
    for (uint32_t i = 0; i < static_cast<uint32_t>(numsectors); ++i) {
        where a = placeof(i), b = a;
        for (int step = 0; step < 100 && !pointedat[offsetof_(placeof(i).track, placeof(i).sector)]; ++step) {
            const uint8_t *was1 = &before[offsetof_(a.track, a.sector)], *now1 = image + offsetof_(b.track, b.sector);
            check(std::equal(was1 + 2, was1 + sectorsize, now1 + 2));
            bool wasend = was1[0] == 0 || !real(was1[0], was1[1]), nowend = now1[0] == 0 || !real(now1[0], now1[1]);
            check(wasend == nowend);
            if (wasend)
                break;
            a = {was1[0], was1[1]};
            b = {now1[0], now1[1]};
        }
    }
    return 0;
}
