// The one disk image of a run: D64 geometry, sector addressing, load and save.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "d64.h"

constexpr int32_t numtracks = 35;
constexpr int32_t dirtrack = 18;
constexpr int32_t sectorsize = 256;
constexpr int32_t numsectors = 683;
constexpr int32_t imagesize = numsectors * sectorsize;
static_assert(imagesize == 174848, "a 35-track D64 without error bytes is 174848 bytes");

/// Sectors per track, indexed directly by track number; 0 outside tracks 1 to 35.
inline constexpr std::array<int32_t, d64::tracktable> tracksecs = {
    0,
    21, 21, 21, 21, 21, 21, 21, 21, 21, 21, 21, 21, 21, 21, 21, 21, 21,  // 1-17: outer zone
    19, 19, 19, 19, 19, 19, 19,                                          // 18-24: directory zone
    18, 18, 18, 18, 18, 18,                                              // 25-30
    17, 17, 17, 17, 17,                                                  // 31-35: inner zone
    0,  0,  0,  0,
};

/// Offsets of each track's first sector, derived from the sector counts so the two cannot disagree.
constexpr std::array<int32_t, d64::tracktable> maketrackoffs() {
    std::array<int32_t, d64::tracktable> offs{};
    int32_t at = 0;
    for (int32_t t = 1; t <= numtracks; ++t) {
        offs[static_cast<size_t>(t)] = at;
        at += tracksecs[static_cast<size_t>(t)] * sectorsize;
    }
    return offs;
}

/// Byte offset in the image of sector 0 of each track, indexed directly by track number.
inline constexpr std::array<int32_t, d64::tracktable> trackoffs = maketrackoffs();

/// Sectors on the whole disk, summed over the zones.
constexpr int32_t countsectors() {
    int32_t n = 0;
    for (int32_t s : tracksecs) n += s;
    return n;
}
static_assert(countsectors() == numsectors, "the zones hold 683 sectors");
static_assert(trackoffs[numtracks] + tracksecs[numtracks] * sectorsize == imagesize,
              "the last track ends exactly at the end of the image");
static_assert(trackoffs[dirtrack] == 91392 && trackoffs[25] == 125440 && trackoffs[31] == 153088,
              "zone starts sit where every D64 reader expects them");

/// The whole disk in file order; the only copy, changed in place by the scrambler.
extern uint8_t image[imagesize];  // aligned to 4 KiB, whole pages on most systems

/// First byte of a sector; no checks, the caller keeps track in 1..35 and sector below tracksecs.
inline uint8_t *getptr(int32_t track, int32_t sector) {
    return image + trackoffs[static_cast<size_t>(track)] + sector * sectorsize;
}

/// Index of a sector among all 683, in file order.
inline size_t sectorindex(int32_t track, int32_t sector) {
    return static_cast<size_t>(trackoffs[static_cast<size_t>(track)] / sectorsize + sector);
}

/// What an input of any other length than an image is told, wherever it is loaded: its name and
/// imagesize fill it in.
constexpr const char *lengthmessage = "File '%s' length != %d bytes.\n";

/// Length of an open file in bytes, or -1 if it cannot be measured; leaves the position as it was.
long flength(int fd);

/// Fills `image` from the named file or ends the process with status -1 and a message.
void loadd64file(const char *name);

/// Writes `image` to the named file or ends the process with status -1 and a message.
void saved64file(const char *name);
