// Which links a scatter may move: what the loaded disk allows to change place without damage.
//
// Real disks carry more than clean file chains: stale links in scratched sectors, REL files whose
// side sectors list their data sectors, GEOS files, raw data read by sector number. A link may be
// picked only where moving its target cannot break any of those; everything else stays put.
#pragma once

#include <cstdint>

#include "image.h"

/// True when the bytes of a link name a sector a scatter may touch: track 1 to 35 other than 18,
/// sector below that track's count. Says nothing of where the link is held.
bool iseligible(const uint8_t *holder);

/// Bit s of entry t: sector s of track t may hold a pickable link (in use, off the directory track).
extern uint32_t pickholders[d64::tracktable];

/// Bit s of entry b: sector s of track b may move, indexed by a link's track byte so that one
/// lookup answers the whole test (entries for no link, track 18 and past track 35 stay 0).
extern uint32_t picktargets[256];

/// Fills pickholders and picktargets from `image` as it is now; run once, before the first exchange.
void findpickable();

/// True when the link in `holder`, the bytes now at sector (track, sector), may be picked;
/// findpickable() must have run.
inline bool ispickable(int32_t track, int32_t sector, const uint8_t *holder) {
    uint32_t s = holder[d64::linksector];
    uint32_t targets = s < 32 ? picktargets[holder[d64::linktrack]] >> s : 0;
    return (pickholders[track] >> sector & targets & 1u) != 0;
}

/// Number of sectors that hold a pickable link now; exchanges never change it.
int32_t countpickable();

/// What a scatter of the disk may change, bit s of entry t: the targets of pickable links, whose
/// content may change place, and the holders of pickable links, whose two link bytes may be
/// re-pointed. Every other byte of the disk stays as it is, and exchanges change neither set.
struct whatmoves {
    uint32_t targets[d64::tracktable];
    uint32_t holders[d64::tracktable];
};

/// Fills `m` from `image` as it is now, with the tables findpickable() left for it.
void findmoving(whatmoves &m);

/// Marks, bit s of entry t, every place that can ever hold a pickable link: those that hold one
/// now and the targets of their links, the only places whose content exchanges move.
void findcandidates(uint32_t places[d64::tracktable]);
