// Whether the scattered disk in `image` reads the same as the disk it came from, for every reader
// that starts where the scatter cannot have moved anything: the directory, a file's first sector, a
// REL file's side sectors, a GEOS info block or record, raw data read by number, a stale chain in a
// free sector. Exchanges move only the targets of pickable links and re-point only the links their
// holders hold; every other sector keeps all its bytes, and every chain from one of them must read
// the same bytes in the same order and end the same way.
#pragma once

#include <cstdint>

#include "image.h"
#include "pickable.h"

/// What the first difference was, in the order the check looks: the directory track byte for
/// byte, then each sector that stays in place, in file order, and the chain from it.
enum class differs : uint8_t {
    nothing,
    directorytrack,  // a byte of track 18
    sectordata,      // a data byte of a sector that stays
    chaindata,       // a data byte of a block along the chain
    chainend,        // the chain ends another way: sooner, later, off the disk, in a loop, or with
                     // another count of bytes used in its last sector
    chainlink,       // a block's link: one the scatter never re-points changed (bytes 0 and 1 of a
                     // sector whose link names no sector too), or it now leads to a sector that holds
                     // some sector's data unchanged, rather than the next block's
};

struct samecheck {
    differs found;
    int32_t chains;         // chains compared, one from each sector off track 18 that stays in place
    int32_t track, sector;  // the sector on track 18, or the one that stays, where the chain starts
    int32_t block;          // along that chain, from 0, the block that differs or whose link does
    int32_t attrack, atsector;  // where that block is in the scattered disk
};

/// Compares `image` with `before`, the disk it was scattered from; `m` is what findmoving() found
/// on `before`. Where `origin` is given, it receives for each sector in file order the sector of
/// `before` whose content it now holds (its own where it stays), as the chains show it; -1 where
/// no chain from a sector that stays reaches it.
samecheck checkscatter(const uint8_t *before, const whatmoves &m, int16_t *origin);

/// True when the chain from (track, sector) reads the same in `before` as in `image`: the same
/// bytes sector by sector but the links `m` lets the scatter re-point, ending the same way.
bool readssame(const uint8_t *before, const whatmoves &m, uint8_t track, uint8_t sector);

/// True when everything a file's directory entry names reads the same: its chain, and a REL
/// file's side sectors, a GEOS file's info block and VLIR records (read from `before`).
bool entryreadssame(const uint8_t *before, const whatmoves &m, const uint8_t *entry);
