// Internal to the draws: the generator's jumps, the draws' state, and the parse of a block's masks
// into attempts, shared by every fill (fastdraw_x86_fills.h) and the stream of attempts
// (fastdraw.cpp); inline, so that each fill is inlined into its own copy of the parse.
//
// On a disk with a handful of pickable links, nearly every attempt of the pick procedure lands on a
// place that can never be picked, and the plain loop spends its time drawing one number after the
// other: each draw waits for the multiply of the one before it.
//
// The draws do not depend on the disk, only on the generator, so they can be made 64 at a time:
// after k steps from state x the generator is at A_k * x + C_k (mod 2^32), so all 64 follow from
// the state before them at once, in vector lanes. What an attempt makes of them is decided by two
// facts per draw, taken as 64-bit masks:
//   S: as a track draw it is redrawn (above the last full bucket, or the directory track), so the
//      next draw is a track draw again;
//   C: as a track draw it may start an attempt on a candidate place. The plain and AVX2 fills
//      answer by the track alone (it holds a candidate); the AVX-512 fill judges the place itself,
//      with the draw after it. Either way C holds every real hit, and the parse looks again.
// Every other track draw is followed by exactly one sector draw, as long as no sector draw is
// redrawn; a block in which one is (about one in a hundred) is walked draw by draw instead. Which
// draws are track draws then follows from S alone, by carry arithmetic, and only track draws in C
// need their sector looked at.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "fastdraw.h"
#include "generator.h"
#include "image.h"

namespace fastdraw {

constexpr int32_t block = 64;

// A[k] and C[k] take the generator k + 1 steps at once.
struct jumps {
    std::array<uint32_t, block> mul{}, add{};
};
constexpr jumps makejumps() {
    jumps j;
    uint32_t m = randmul, a = randadd;
    for (size_t k = 0; k < block; ++k) {
        j.mul[k] = m;
        j.add[k] = a;
        a = a * randmul + randadd;
        m *= randmul;
    }
    return j;
}
constexpr jumps jump = makejumps();

// A track draw v gives track v / 936 + 1; v * 71698 >> 26 is that quotient for every 15-bit v.
constexpr uint32_t trackbucket = randmax / numtracks, trackmul = 71698;
constexpr uint32_t tracklimit = randmax - randmax % numtracks;  // 32760
constexpr uint32_t dirquotient = dirtrack - 1;
// Below this no sector draw is redrawn, whatever the track: 32767 - 32767 % 19. Only draws at
// or above it need a second look.
constexpr uint32_t safesectors = 32756;
constexpr bool nosectorredrawnbelow(uint32_t v) {
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t)
        if (sectordraws[t].limit < v)
            return false;
    return true;
}
static_assert(nosectorredrawnbelow(safesectors) && !nosectorredrawnbelow(safesectors + 1),
              "safesectors is the lowest draw a sector draw on some track redraws");
static_assert(trackmul * trackbucket >= (1u << quotientshift) &&
                  randmax * (trackmul * trackbucket - (1u << quotientshift)) < (1u << quotientshift) &&
                  uint64_t{randmax} * trackmul < (uint64_t{1} << 32),
              "v * 71698 >> 26 is v / 936 for every draw, in 32 bits");

// A track draw v gives track v / 936 + 1 also as mulhi(v, 35849) >> 9, in 16-bit lanes.
constexpr uint32_t trackmul16 = 35849, trackshift16 = 25;
static_assert(trackmul16 * trackbucket >= (1u << trackshift16) &&
                  randmax * (trackmul16 * trackbucket - (1u << trackshift16)) < (1u << trackshift16) &&
                  trackmul16 < 65536,
              "mulhi(v, 35849) >> 9 is v / 936 for every draw");
constexpr bool sectormulsfit() {
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t)
        if (sectordraws[t].mul >= 65536)
            return false;
    return quotientshift >= 16;
}
static_assert(sectormulsfit(), "a sector draw's multiply fits a 16-bit lane: mulhi(v, mul) >> 10");

constexpr uint16_t redrawnbit = 0x8000;

struct hit {
    int32_t track, sector, at;
};

// Everything the draws keep between calls, in the order it is made: what startcandidates() fixes
// for a whole scatter, then where nextcandidate() stands, which moves on block by block, and the
// way of drawing chosen for the run.
struct drawstate {
    struct {
        uint32_t places[d64::tracktable];  // bit s of entry t: sector s of track t is a candidate
        uint64_t tracks;                   // bit t - 1: track t holds a candidate
        alignas(16) uint8_t bytrack[48];   // by track - 1, 0xff for a candidate track: AVX2 lookups
        // By the quotient of a track draw (track - 1), for the AVX-512 lookups in 16-bit lanes: the
        // sector multiplier, candidate sectors 0 to 15, and candidate sectors 16 to 20 with bit 15
        // set where the track draw is redrawn (the directory track, and quotient 35 of draws
        // 32760 and up).
        alignas(64) uint16_t secmul[64];
        alignas(64) uint16_t low[64];
        alignas(64) uint16_t high[64];
    } start;
    struct {
        uint16_t draws[block];  // the current block's draws
        uint32_t blockstate;    // the generator state before the current block
        uint32_t nextstate;     // ... and after it
        int32_t pending;        // the track whose sector draw opens the next block, or 0
        hit hits[block + 1];    // the block's attempts on candidate places, the last one spare
        int32_t nhits, taken;   // ... how many, and how many nextcandidate() has handed out
    } next;
    void (*blocks)();  // the fill chosen for the run, in its own copy of findhits()
};

/// The draws' one state; fastdraw.cpp holds it.
extern drawstate drawing;
// What a fill learns of a block: masks S, C (named `maybe`: the draws that may start a hit) and X
// (draws at or above safesectors), and its first and last draw, handed over in registers so that
// the parse need not wait for the stores.
struct blockmasks {
    uint64_t s, maybe, x;
    uint32_t first, last;
};

// Where the parse stands, kept in registers from block to block: the track whose sector draw
// opens the next block (or 0), and the hits of the current block.
struct cursor {
    int32_t pending, nhits;
};

// Written whether it counts or not: the branch would be mispredicted on every real hit. Track 0
// has no candidates, so a call for it adds nothing.
[[gnu::always_inline]] inline void addhit(cursor &at, int32_t track, uint32_t v, int32_t k) {
    int32_t sector = static_cast<int32_t>((v * sectordraws[static_cast<size_t>(track)].mul) >> quotientshift);
    drawing.next.hits[at.nhits] = {track, sector, k};
    at.nhits += static_cast<int32_t>(drawing.start.places[track] >> sector & 1);
}

inline int32_t trackof(uint32_t v) { return static_cast<int32_t>(v / trackbucket) + 1; }

// The plain procedure over one block, for blocks where a sector draw may be redrawn.
[[gnu::noinline]] inline void walk(cursor &at) {
    int32_t track = at.pending;
    for (int32_t k = 0; k < block; ++k) {
        uint32_t v = drawing.next.draws[k];
        if (track == 0) {
            int32_t t = v < tracklimit ? trackof(v) : dirtrack;
            track = t == dirtrack ? 0 : t;
            continue;
        }
        if (v >= sectordraws[static_cast<size_t>(track)].limit)
            continue;
        addhit(at, track, v, k);
        track = 0;
    }
    at.pending = track;
}

// Which draws of the block are sector draws, as if no sector draw were redrawn and the block
// opened with a track draw. A run of non-S draws starts on a track draw and alternates track,
// sector, track, ...; the draw after a run is a sector draw exactly when the run's length is odd.
// Adding 1 at each run that starts on an even position clears that run; what is left are the runs
// that start on odd ones.
inline uint64_t sectordrawsof(uint64_t s) {
    constexpr uint64_t even = 0x5555555555555555u, odd = ~even;
    uint64_t go = ~s;
    uint64_t starts = go & ~(go << 1);
    uint64_t oddruns = (go + (starts & even)) & go;
    uint64_t evenruns = go & ~oddruns;
    return ((evenruns << 1) & odd) | ((oddruns << 1) & even);
}

// Both openings are worked out before the block before has been parsed, so that a block waits on
// the one before it only for a select, not for the whole carry chain. A block that opens with a
// sector draw differs only up to the draw after its first run, where the parities swap: the mask
// of that run and the draw after it, go ^ (go + 1), turns one answer into the other. Draws above
// 32755 (in x) are looked at once the sector draws are known: if one of them is redrawn after all,
// the block is walked.
[[gnu::always_inline]] inline void parse(cursor &at, const blockmasks &m) {
    uint64_t closed = sectordrawsof(m.s), opened = closed ^ (~m.s ^ (~m.s + 1));
    int32_t last = trackof(m.last);
    int32_t endclosed = (closed | m.s) >> 63 == 0 ? last : 0;
    int32_t endopened = (opened | m.s) >> 63 == 0 ? last : 0;
    int32_t opener = at.pending;
    uint64_t sectorat = opener != 0 ? opened : closed;
    for (uint64_t h = m.x & sectorat; h != 0; h &= h - 1) {
        int32_t k = __builtin_ctzll(h);
        int32_t track = k == 0 ? opener : trackof(drawing.next.draws[k - 1]);
        if (drawing.next.draws[k] >= sectordraws[static_cast<size_t>(track)].limit) {
            walk(at);
            return;
        }
    }
    addhit(at, opener, m.first, 0);
    for (uint64_t h = ~sectorat & m.maybe & ~(uint64_t{1} << 63); h != 0; h &= h - 1) {
        int32_t k = __builtin_ctzll(h);
        addhit(at, trackof(drawing.next.draws[k]), drawing.next.draws[k + 1], k + 1);
    }
    at.pending = opener != 0 ? endopened : endclosed;
}

// Runs blocks until one holds an attempt on a candidate place. Each form of fill is inlined into
// its own copy of this loop, so that the masks stay in registers.
template <class fillfn>
[[gnu::always_inline]] inline void findhits(fillfn fill) {
    cursor at{drawing.next.pending, 0};
    uint32_t state = drawing.next.nextstate, before;
    do {
        at.nhits = 0;
        before = state;
        state = jump.mul[block - 1] * before + jump.add[block - 1];
        parse(at, fill(before));
    } while (at.nhits == 0);
    drawing.next.pending = at.pending;
    drawing.next.nhits = at.nhits;
    drawing.next.taken = 0;
    drawing.next.blockstate = before;
    drawing.next.nextstate = state;
}

/// The block loop for `way` (avx2blocks or avx512blocks) where this build and processor run it,
/// else null; the processor is asked once, the first time this is called.
using blocksfn = void (*)();
blocksfn vectorblocks(drawway way);

}  // namespace fastdraw
