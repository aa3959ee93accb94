// What a person is shown of the disk in `image`: the files its directory lists, which of them
// holds each sector and where along its chain, and what the scatter may move.
#pragma once

#include <cstdint>

#include "image.h"

/// 8 entries a directory sector, and the directory's chain may run through every sector there is.
constexpr int32_t maxentries = numsectors * static_cast<int32_t>(d64::entriespersector);

/// A directory entry as the directory lists it.
struct listedfile {
    uint8_t type;      // the type byte as it stands (closed flag, lock and all)
    uint8_t name[16];  // PETSCII, padded with 0xa0
    uint8_t track, sector;  // where its chain starts
    uint16_t blocks;
    uint8_t entry[d64::entrysize];  // the whole entry, for what else it names
};

/// Fills `files` with the entries whose type byte is not 0, in directory order; returns how many.
int32_t listfiles(listedfile files[maxentries]);

/// For each sector in file order: 1 + the index of the listed file whose chain holds it (the first
/// file to reach it where chains cross), or 0; and its place along that chain, from 0.
void mapfiles(const listedfile *files, int32_t count, int16_t owner[numsectors], int16_t step[numsectors]);

enum sectorkind : uint8_t { freesector, directorysector, movable, staysput };

/// For each sector in file order: free in the BAM, on the directory track, or in use and one the
/// scatter may move or not, as `moving` says (findmoving() on the same disk).
void mapkinds(const uint32_t moving[d64::tracktable], uint8_t kind[numsectors]);
