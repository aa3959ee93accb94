// A fast way through the generator's draws for disks with few pickable links.
#pragma once

#include <cstdint>

#include "d64.h"

/// The ways to compute a block of draws: plain C++ for any processor, or AVX2 or AVX-512 (F and BW)
/// vectors.
enum drawwidth { portabledraws, avx2draws, avx512draws };

/// True when this build on this processor can compute draws that way.
bool canrun(drawwidth width);

/// Starts the stream of attempts at generator state `state`; only attempts that land on one of
/// `places` (bit s of entry t: sector s of track t) will be reported.
void startcandidates(const uint32_t places[d64::tracktable], uint32_t state);

/// The next attempt of the pick procedure, in the order the plain loop makes them, that lands on
/// one of the places: its track and sector, and in `state` the generator state after its sector
/// draw. Every width gives the same attempts.
void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state, drawwidth width);
