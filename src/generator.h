// The tool's own generator and the draws the pick procedure makes from it: the same sequence on
// every platform, which the C library's generator is not.
#pragma once

#include <array>
#include <cstdint>

#include "image.h"

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

/// A quotient v / b of a 15-bit draw is taken as v * m >> quotientshift, with m chosen per b (for
/// sector draws here, for track draws in fastdraw.cpp) so that both agree for every draw.
constexpr uint32_t quotientshift = 26;

/// A sector draw on one track: a draw at or above `limit` is drawn again, any other gives the
/// sector v * mul >> 26, the same as v / (32767 / tracksecs), without a division.
struct sectordraw {
    uint32_t limit, mul;
};
constexpr std::array<sectordraw, d64::tracktable> makesectordraws() {
    std::array<sectordraw, d64::tracktable> d{};
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t) {
        auto bucket = static_cast<uint32_t>(randmax / tracksecs[t]);
        d[t] = {static_cast<uint32_t>(randmax - randmax % tracksecs[t]), ((1u << quotientshift) + bucket - 1) / bucket};
    }
    return d;
}
inline constexpr std::array<sectordraw, d64::tracktable> sectordraws = makesectordraws();

// With mul = ceil(2^26 / b) and e = mul * b - 2^26, v * mul / 2^26 exceeds v / b by
// v * e / (b * 2^26), which stays below the 1 / b that any fraction of v / b leaves to the next
// integer while v * e < 2^26: then both floors agree for every draw.
constexpr bool exactsectors() {
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t) {
        uint64_t bucket = static_cast<uint64_t>(randmax / tracksecs[t]), m = sectordraws[t].mul;
        uint64_t whole = uint64_t{1} << quotientshift;
        if (m * bucket < whole || randmax * (m * bucket - whole) >= whole || randmax * m >= (uint64_t{1} << 32))
            return false;
    }
    return true;
}
static_assert(exactsectors(), "the multiplies give the same sectors as the divisions");

/// random_in_range(state, 0, tracksecs[track]), draw for draw.
inline int32_t drawsector(uint32_t &state, int32_t track) {
    const sectordraw &d = sectordraws[static_cast<size_t>(track)];
    for (;;) {
        auto r = static_cast<uint32_t>(draw(state));
        if (r < d.limit)
            return static_cast<int32_t>((r * d.mul) >> quotientshift);
    }
}
