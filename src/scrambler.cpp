#include "scrambler.h"

#include <cstring>

#include "image.h"

namespace {

constexpr int32_t randmax = 32767;

// The constants of a well-known 32-bit LCG with 15-bit output; fixed here rather than taken
// from the C library, whose range and sequence differ between platforms.
uint32_t randstate = 1;

uint8_t buffer[sectorsize];

struct pick {
    uint8_t *holder;
    uint8_t track;
    uint8_t sector;
    uint8_t *target;
};

pick picklink() {
    for (;;) {
        int32_t t = random_in_range(1, numtracks + 1);
        if (t == dirtrack)
            continue;
        uint8_t *holder = getptr(t, random_in_range(0, tracksecs[static_cast<size_t>(t)]));
        if (!iseligible(holder))
            continue;
        return {holder, holder[0], holder[1], getptr(holder[0], holder[1])};
    }
}

}  // namespace

int32_t nextrandom() {
    randstate = randstate * 214013u + 2531011u;
    return static_cast<int32_t>((randstate >> 16) & 0x7fffu);
}

void resetrandom() { randstate = 1; }

int32_t random_in_range(int32_t low, int32_t high) {
    int32_t range = high - low;
    int32_t bucket = randmax / range;
    int32_t limit = randmax - randmax % range;
    for (;;) {
        int32_t r = nextrandom();
        if (r != randmax && r < limit)
            return low + r / bucket;
    }
}

bool iseligible(const uint8_t *holder) {
    uint8_t t = holder[0];
    return t != 0 && t != dirtrack && t <= numtracks && holder[1] < tracksecs[t];
}

int32_t counteligible() {
    int32_t n = 0;
    for (int32_t t = 1; t <= numtracks; ++t)
        for (int32_t s = 0; t != dirtrack && s < tracksecs[static_cast<size_t>(t)]; ++s)
            n += iseligible(getptr(t, s));
    return n;
}

void scrambleimage() {
    // Exchanges keep the number of eligible links, so one found now means every pick ends;
    // with none the first pick would draw forever.
    if (counteligible() == 0)
        return;
    for (int32_t i = 0; i < exchanges; ++i) {
        pick a = picklink();
        pick b = picklink();
        // Links first: a holder inside one of the targets then carries its new link along.
        a.holder[0] = b.track;
        a.holder[1] = b.sector;
        b.holder[0] = a.track;
        b.holder[1] = a.sector;
        if (a.target == b.target)
            continue;
        memcpy(buffer, a.target, sectorsize);
        memcpy(a.target, b.target, sectorsize);
        memcpy(b.target, buffer, sectorsize);
    }
}
