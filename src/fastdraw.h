// A fast way through the generator's draws for disks with few pickable links.
#pragma once

#include <cstdint>

#include "d64.h"

/// The ways to make the pick procedure's attempts: one draw after the other, or in blocks of 64
/// that skip every attempt on a place no pickable link can ever be held at, computed in plain C++
/// for any processor, or in AVX2 or AVX-512 (F and BW) vectors. All give the same attempts.
enum drawway { onebyone, portableblocks, avx2blocks, avx512blocks };

/// True when this build on this processor can draw that way.
bool canrun(drawway way);

/// Starts the stream of attempts at generator state `state`, drawn `way` (a block way; one the
/// processor cannot run falls back to plain C++ blocks) for the whole run; only attempts that
/// land on one of `places` (bit s of entry t: sector s of track t) will be reported.
void startcandidates(const uint32_t places[d64::tracktable], uint32_t state, drawway way);

/// The next attempt of the pick procedure, in the order the plain loop makes them, that lands on
/// one of the places: its track and sector, and in `state` the generator state after its sector
/// draw.
void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state);

/// What a block's fill makes of the 64 draws after generator state `state`: bit k of `redrawn`
/// (as a track draw, draw k is drawn again), `maybe` (it may start an attempt on a candidate
/// place) and `high` (a sector draw this high may be redrawn), and the first and last draw.
struct blockfacts {
    uint64_t redrawn, maybe, high;
    uint32_t first, last;
};

/// Tests only: one block's fill, as `way` (a block way this processor runs) computes it on the
/// candidates of the last startcandidates().
blockfacts fillfortests(drawway way, uint32_t state);
