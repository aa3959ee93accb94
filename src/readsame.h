// Whether the scattered disk in `image` reads the same as the disk it came from, for every reader
// that starts where the scatter cannot have moved anything: the directory, a file's first sector, a
// REL file's side sectors, a GEOS info block or record, raw data read by number, a stale chain in a
// free sector. Exchanges move only the targets of pickable links; every other sector keeps its data,
// and every chain from one of them must read the same bytes in the same order and end the same way.
#pragma once

#include <cstdint>

#include "image.h"

/// Bit s of entry t: sector t/s is the target of a pickable link in `image` as it is now, the only
/// places whose content an exchange moves. Runs findpickable().
void findmoving(uint32_t moving[d64::tracktable]);

/// What the first difference was, in the order the check looks: the directory track byte for
/// byte, then each sector that stays in place, in file order, and the chain from it.
enum class differs : uint8_t { nothing, directorytrack, sectordata, chaindata, chainend };

struct samecheck {
    differs found;
    int32_t chains;         // chains compared, one from each sector off track 18 that stays in place
    int32_t track, sector;  // the sector on track 18, or the one that stays, where the chain starts
    int32_t block;          // along that chain, from 0, where it differs
    int32_t attrack, atsector;  // where that block is in the scattered disk (the last one reached
                                // where a chain ends differently)
};

/// Compares `image` with `before`, the disk it was scattered from; `moving` comes from findmoving()
/// on `before`. Where `origin` is given, it receives for each sector in file order the sector of
/// `before` whose content it now holds (its own where it stays), as the chains show it; -1 where
/// no chain from a sector that stays reaches it.
samecheck checkscatter(const uint8_t *before, const uint32_t moving[d64::tracktable], int16_t *origin);

/// True when the chain from (track, sector) reads the same in `before` as in `image`: the same
/// data bytes sector by sector, ending the same way, with the same count of bytes used at its end.
bool readssame(const uint8_t *before, uint8_t track, uint8_t sector);

/// True when everything a file's directory entry names reads the same: its chain, and a REL
/// file's side sectors, a GEOS file's info block and VLIR records (read from `before`).
bool entryreadssame(const uint8_t *before, const uint8_t *entry);
