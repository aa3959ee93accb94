#include "scrambler.h"

#include <array>
#include <cstring>

#include "image.h"

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

// For every value of a link's track byte, how many sectors a link may point at there: none on
// track 0 (no link), the directory track, and past the last track. One lookup and one compare,
// so that the pick loop does not stall on a branch for each of the tests.
constexpr std::array<int32_t, 256> maketargetsecs() {
    std::array<int32_t, 256> out{};
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t)
        out[t] = t == static_cast<size_t>(dirtrack) ? 0 : tracksecs[t];
    return out;
}
constexpr std::array<int32_t, 256> targetsecs = maketargetsecs();

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
        uint8_t *holder = getptr(t, drawinrange(state, 0, tracksecs[static_cast<size_t>(t)]));
        if (!iseligible(holder))
            continue;
        randstate = state;
        return {holder, holder[0], holder[1], getptr(holder[0], holder[1])};
    }
}

}  // namespace

int32_t nextrandom() { return draw(randstate); }

void resetrandom() { randstate = 1; }

int32_t random_in_range(int32_t low, int32_t high) { return drawinrange(randstate, low, high); }

bool iseligible(const uint8_t *holder) { return holder[1] < targetsecs[holder[0]]; }

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
