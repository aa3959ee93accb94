// The tool's generator, and a fast way through its draws for disks with few pickable links.
#pragma once

#include <cstdint>

constexpr int32_t randmax = 32767;
constexpr uint32_t randmul = 214013u, randadd = 2531011u;

/// One step of the generator: the next draw, 0 to 32767, from `state`.
inline int32_t draw(uint32_t &state) {
    state = state * randmul + randadd;
    return static_cast<int32_t>((state >> 16) & 0x7fffu);
}

/// Uniform integer from low to high - 1 by rejection over the 15-bit draws; needs high > low.
inline int32_t random_in_range(uint32_t &state, int32_t low, int32_t high) {
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

/// The ways to compute a block of draws: plain C++ for any processor, or AVX2 or AVX-512 vectors.
enum drawwidth { portabledraws, avx2draws, avx512draws };

/// True when this build on this processor can compute draws that way.
bool canrun(drawwidth width);

/// Starts the stream of attempts at generator state `state`; only attempts that land on one of
/// `places` (bit s of entry t: sector s of track t) will be reported.
void startcandidates(const uint32_t places[40], uint32_t state);

/// The next attempt of the pick procedure, in the order the plain loop makes them, that lands on
/// one of the places: its track and sector, and in `state` the generator state after its sector
/// draw. Every width gives the same attempts.
void nextcandidate(int32_t &track, int32_t &sector, uint32_t &state, drawwidth width);
