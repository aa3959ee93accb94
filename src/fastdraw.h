// A fast way through the generator's draws for disks with few pickable links.
#pragma once

#include <cstdint>

#include "d64.h"

/// The ways to make the pick procedure's attempts: one draw after the other, or in blocks of 64
/// that skip every attempt on a place no pickable link can ever be held at, computed in AVX2 or
/// AVX-512 (F and BW) vectors. All give the same attempts. (Blocks in plain C++ cost what drawing
/// one by one does, so there is no such way.)
enum drawway { onebyone, avx2blocks, avx512blocks };

/// True when this build on this processor can draw that way.
bool canrun(drawway way);

/// Starts the stream of attempts at generator state `state`, drawn `way` (a block way that
/// canrun() allows) for the whole run; only attempts that land on one of `places` (bit s of entry
/// t: sector s of track t) will be reported.
void startcandidates(const uint32_t places[d64::tracktable], uint32_t state, drawway way);

/// The next attempt of the pick procedure, in the order the plain loop makes them, that lands on
/// one of the places: its track and sector, and in `state` the generator state after its sector
/// draw.
void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state);
