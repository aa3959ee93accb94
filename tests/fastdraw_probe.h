// What each vector fill makes of a block of draws, for the tests alone: the fills are inline and
// internal to the draws, so the tests reach them in their own build, and the tool carries none of
// this.
#pragma once

#include <cstdint>

#include "fastdraw.h"

/// What a block's fill makes of the 64 draws after generator state `state`: bit k of `redrawn`
/// (as a track draw, draw k is drawn again), `maybe` (it may start an attempt on a candidate
/// place) and `high` (a sector draw this high may be redrawn), and the first and last draw.
struct blockfacts {
    uint64_t redrawn, maybe, high;
    uint32_t first, last;
};

/// One block's fill as the vector way `way` computes it on the candidates of the last
/// startcandidates(); false where this build or processor cannot run that way.
bool fillfortests(drawway way, uint32_t state, blockfacts &out);
