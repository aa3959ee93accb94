#include "scrambler.h"

#include <cstring>

#include "fastdraw.h"
#include "generator.h"
#include "image.h"
#include "pickable.h"

namespace {

// The state of the tool's own generator (generator.h) between calls.
uint32_t randstate = 1;

uint8_t buffer[sectorsize];

// Which content sits at each place during the exchanges: at[place] is the sector of the image as
// loaded whose 256 bytes belong there now. An exchange swaps two entries instead of copying two
// sectors three ways, and the image is put in that order once, at the end.
uint16_t at[numsectors];

inline uint8_t *contentat(int32_t track, int32_t sector) { return image + at[sectorindex(track, sector)] * sectorsize; }

// The attempts of the pick procedure as drawn one by one: a track, drawn again while it is the
// directory track, then a sector on it. The state is a copy so that it stays in a register.
struct plainattempts {
    uint32_t state;
    void next(int32_t &track, int32_t &sector) {
        do
            track = random_in_range(state, 1, numtracks + 1);
        while (track == dirtrack);
        sector = drawsector(state, track);
    }
};

// The same attempts, of which only those that land on a place that can ever hold a pickable link
// are seen; the others could never be picked, so skipping them changes no result.
struct candidateattempts {
    uint32_t state;
    void next(int32_t &track, int32_t &sector) { nextcandidate(track, sector, state); }
};

struct pick {
    uint8_t *holder;
    uint8_t track;
    uint8_t sector;
};

// A rejected attempt starts the pick again from the track draw.
template <class attempts>
pick picklink(attempts &source) {
    for (;;) {
        int32_t t, s;
        source.next(t, s);
        uint8_t *holder = contentat(t, s);
        if (ispickable(t, s, holder))
            return {holder, holder[d64::linktrack], holder[d64::linksector]};
    }
}

template <class attempts>
void exchangeall(attempts &source) {
    for (int32_t i = 0; i < exchanges; ++i) {
        pick a = picklink(source);
        pick b = picklink(source);
        // The links are rewritten inside the contents that hold them, and the contents only change
        // places in `at`, so a holder that is itself one of the targets takes its new link along
        // whichever step comes first.
        a.holder[d64::linktrack] = b.track;
        a.holder[d64::linksector] = b.sector;
        b.holder[d64::linktrack] = a.track;
        b.holder[d64::linksector] = a.sector;
        uint16_t &x = at[sectorindex(a.track, a.sector)], &y = at[sectorindex(b.track, b.sector)];
        uint16_t moved = x;
        x = y;
        y = moved;
    }
    randstate = source.state;
}

// Puts every content at its place, one cycle of the permutation at a time through `buffer`.
void gather() {
    for (uint16_t p = 0; p < numsectors; ++p) {
        if (at[p] == p)
            continue;
        memcpy(buffer, image + p * sectorsize, sectorsize);
        uint16_t q = p;
        while (at[q] != p) {
            uint16_t from = at[q];
            memcpy(image + q * sectorsize, image + from * sectorsize, sectorsize);
            at[q] = q;
            q = from;
        }
        memcpy(image + q * sectorsize, buffer, sectorsize);
        at[q] = q;
    }
}

// Blocks pay only in vector registers; in plain C++ they cost about what drawing one by one does.
drawway automaticway(int32_t pickable) {
    if (pickable > sparselinks)
        return onebyone;
    return canrun(avx512blocks) ? avx512blocks : canrun(avx2blocks) ? avx2blocks : onebyone;
}

// With no pickable link the first pick would draw forever. With exactly one, every pick returns
// it, so each exchange rewrites that link with its own value and swaps its target with itself: the
// image comes out as it went in, and no draw is needed to know that. Exchanges never change which
// links are pickable, so the count taken first holds throughout. `way` says how to draw, or the
// tool's own choice (chosen) by that count.
constexpr int chosen = -1;

void exchangeby(int way) {
    int32_t pickable = countpickable();
    if (pickable <= 1)
        return;
    for (uint16_t p = 0; p < numsectors; ++p)
        at[p] = p;
    drawway draws = way == chosen ? automaticway(pickable) : static_cast<drawway>(way);
    if (draws == onebyone) {
        plainattempts source{randstate};
        exchangeall(source);
    } else {
        uint32_t places[d64::tracktable];
        findcandidates(places);
        startcandidates(places, randstate, draws);
        candidateattempts source{randstate};
        exchangeall(source);
    }
    gather();
}

}  // namespace

int32_t nextrandom() { return draw(randstate); }

void resetrandom() { randstate = 1; }

int32_t random_in_range(int32_t low, int32_t high) { return random_in_range(randstate, low, high); }

void scrambleimage() {
    findpickable();
    scramblepicked();
}

void scramblepicked() { exchangeby(chosen); }

bool scramblewith(drawway way) {
    if (!canrun(way))
        return false;
    exchangeby(way);
    return true;
}
