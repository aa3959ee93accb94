#include "scrambler.h"

#include <array>
#include <cstring>

#include "image.h"
#include "pickable.h"

namespace {

constexpr int32_t randmax = 32767;

// A well-known 32-bit LCG with 15-bit output, fixed here rather than taken from the C library,
// whose range and sequence differ between platforms.
uint32_t randstate = 1;

uint8_t buffer[sectorsize];

// The draws work on a copy of the state so that the pick loop, which may run tens of millions
// of draws on a disk with few links, keeps it in a register.
inline int32_t draw(uint32_t &state) {
    state = state * 214013u + 2531011u;
    return static_cast<int32_t>((state >> 16) & 0x7fffu);
}

inline int32_t drawinrange(uint32_t &state, int32_t low, int32_t high) {
    int32_t range = high - low;
    int32_t bucket = randmax / range;
    int32_t limit = randmax - randmax % range;
    // limit is at most randmax, so the top draw is always redrawn along with the uneven tail.
    for (;;) {
        int32_t r = draw(state);
        if (r < limit)
            return low + r / bucket;
    }
}

struct pick {
    uint8_t *holder;
    uint8_t track;
    uint8_t sector;
    uint8_t *target;
};

pick picklink() {
    uint32_t state = randstate;
    for (;;) {
        int32_t t = drawinrange(state, 1, numtracks + 1);
        if (t == dirtrack)
            continue;
        int32_t s = drawinrange(state, 0, tracksecs[static_cast<size_t>(t)]);
        if (!ispickable(t, s))
            continue;
        uint8_t *holder = getptr(t, s);
        randstate = state;
        return {holder, holder[0], holder[1], getptr(holder[0], holder[1])};
    }
}

}  // namespace

int32_t nextrandom() { return draw(randstate); }

void resetrandom() { randstate = 1; }

int32_t random_in_range(int32_t low, int32_t high) { return drawinrange(randstate, low, high); }

void scrambleimage() {
    // Exchanges only swap sectors that may move and re-point the one link at each, so which links
    // are pickable never changes: one found now means every pick ends; with none the first pick
    // would draw forever.
    findpickable();
    if (countpickable() == 0)
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
