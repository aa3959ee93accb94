#include "pickable.h"

#include <array>
#include <cstring>

#include "directory.h"

uint32_t pickholders[d64::tracktable];
uint32_t picktargets[256];

namespace {

// For every value of a link's track byte, how many sectors a link may point at there: none on
// track 0 (no link), the directory track, and past the last track.
constexpr std::array<int32_t, 256> maketargetsecs() {
    std::array<int32_t, 256> out{};
    for (size_t t = 1; t <= static_cast<size_t>(numtracks); ++t)
        out[t] = t == static_cast<size_t>(dirtrack) ? 0 : tracksecs[t];
    return out;
}
constexpr std::array<int32_t, 256> targetsecs = maketargetsecs();

using sectorflags = std::array<bool, numsectors>;

// Marks the sectors of the chain from (track, sector), each once, for as long as links name real
// sectors; what other chains marked does not cut this one short.
void markchain(sectorflags &named, int32_t track, int32_t sector) {
    walkchain(image, track, sector, [&named](int32_t t, int32_t s, const uint8_t *) {
        named[sectorindex(t, s)] = true;
        return true;
    });
}

// Sectors the directory names, and the directory's own sectors: off track 18 their content must
// stay where the links from the sectors before them lead.
sectorflags directorynamed() {
    sectorflags named{};
    foreachdirsector(image, [&named](int32_t track, int32_t sector, const uint8_t *) {
        named[sectorindex(track, sector)] = true;
    });
    // A REL file's side sectors list its data sectors: the whole file stays where it is.
    foreachentry([&named](const uint8_t *entry) {
        foreachnamed(image, entry, [&named](int32_t track, int32_t sector, bool wholechain) {
            if (wholechain)
                markchain(named, track, sector);
            else if (namessector(track, sector))
                named[sectorindex(track, sector)] = true;
        });
    });
    return named;
}

// Sectors whose chain ends the way a file's does: at a byte 0 of 0, through real sectors only,
// never twice through one. Chains that run off the disk or loop are likely raw data read by
// number. The links form a functional graph, so each walk stops at the first sector already decided.
sectorflags endlikefiles() {
    constexpr uint8_t unknown = 0, walking = 1, ends = 2, runsoff = 3;
    std::array<uint8_t, numsectors> state{};
    std::array<size_t, numsectors> path{};
    foreachsector([&](int32_t t, int32_t s) {
        size_t len = 0;
        uint8_t verdict = runsoff;
        chainend end = walkchain(image, t, s, [&](int32_t track, int32_t sector, const uint8_t *) {
            size_t i = sectorindex(track, sector);
            if (state[i] != unknown) {
                verdict = state[i] == walking ? runsoff : state[i];
                return false;
            }
            state[i] = walking;
            path[len++] = i;
            return true;
        });
        if (end == chainend::last)
            verdict = ends;
        else if (end != chainend::stopped)
            verdict = runsoff;
        for (size_t k = 0; k < len; ++k)
            state[path[k]] = verdict;
    });
    sectorflags out{};
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = state[i] == ends;
    return out;
}

}  // namespace

bool iseligible(const uint8_t *holder) { return holder[d64::linksector] < targetsecs[holder[d64::linktrack]]; }

void findpickable() {
    // How many links point at each sector. Links held on the directory track count too: a file
    // that runs through track 18 must not lose its next sector to some other link's exchange.
    std::array<int32_t, numsectors> pointedat{};
    foreachsector([&pointedat](int32_t t, int32_t s) {
        if (const uint8_t *p = getptr(t, s); iseligible(p))
            ++pointedat[sectorindex(p[d64::linktrack], p[d64::linksector])];
    });
    sectorflags named = directorynamed();
    sectorflags endsok = endlikefiles();

    memset(pickholders, 0, sizeof pickholders);
    memset(picktargets, 0, sizeof picktargets);
    foreachsector([&](int32_t t, int32_t s) {
        size_t i = sectorindex(t, s);
        if (t == dirtrack || bamfree(t, s))
            return;
        pickholders[t] |= 1u << s;
        // A shared target would leave the other link pointing at moved data.
        if (pointedat[i] == 1 && !named[i] && endsok[i])
            picktargets[t] |= 1u << s;
    });
}

int32_t countpickable() {
    int32_t n = 0;
    foreachsector([&n](int32_t t, int32_t s) { n += t != dirtrack && ispickable(t, s, getptr(t, s)); });
    return n;
}

void findmoving(whatmoves &m) {
    memset(&m, 0, sizeof m);
    foreachsector([&m](int32_t t, int32_t s) {
        if (const uint8_t *p = getptr(t, s); t != dirtrack && ispickable(t, s, p)) {
            m.holders[t] |= 1u << s;
            m.targets[p[d64::linktrack]] |= 1u << p[d64::linksector];
        }
    });
}

void findcandidates(uint32_t places[d64::tracktable]) {
    whatmoves m;
    findmoving(m);
    for (size_t t = 0; t < d64::tracktable; ++t)
        places[t] = m.holders[t] | m.targets[t];
}
