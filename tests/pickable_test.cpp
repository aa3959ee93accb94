#include "pickable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "testdisk.h"

namespace {

using namespace d64;

TEST(Pickable, EachRuleOnItsOwnHoldsItsLinkBack) {
    // One file 1/0 -> 1/1 -> 1/2 -> 1/3 on an otherwise empty disk; a case names which of the
    // links held in 1/0, 1/1 and 1/2 may still be picked.
    struct {
        const char *name;
        std::function<void(disk &)> edit;
        const char *pickable;
    } cases[] = {
        {"a clean file", [](disk &) {}, "yyy"},
        {"another link into 1/2 from a sector in use", [](disk &d) { pointat(d, {2, 0}, {1, 2}); }, "yny"},
        {"another link into 1/2 from a free sector", [](disk &d) { pointat(d, {2, 0}, {1, 2}), setfree(d, {2, 0}, true); }, "yny"},
        {"another link into 1/2 from track 18", [](disk &d) { pointat(d, {dirtrack, 7}, {1, 2}); }, "yny"},
        {"holder 1/0 free in the BAM", [](disk &d) { setfree(d, {1, 0}, true); }, "nyy"},
        {"target 1/3 free in the BAM", [](disk &d) { setfree(d, {1, 3}, true); }, "yyn"},
        {"the directory starts a file at 1/2", [](disk &d) { direntry(d, 3, closed | prg, {1, 2}); }, "yny"},
        {"a deleted entry names 1/2", [](disk &d) { direntry(d, 3, closed | del, {1, 2}); }, "yyy"},
        {"a REL file from 1/0 with its side sector", [](disk &d) {
             uint8_t *e = direntry(d, 0, closed | rel, {1, 0});
             e[sidetrack] = 2, e[sidesector] = 0;
             pointat(d, {2, 0}, {2, 1});
             pointat(d, {2, 1}, {0, 17});
         }, "nnn"},
        {"a GEOS info block at 1/2", [](disk &d) {
             uint8_t *e = direntry(d, 0, closed | usr, {3, 0});
             e[sidetrack] = 1, e[sidesector] = 2, e[geostype] = 6;
         }, "yny"},
        {"bytes 21 and 22 of a plain file name nothing", [](disk &d) {
             uint8_t *e = direntry(d, 0, closed | prg, {3, 0});
             e[sidetrack] = 1, e[sidesector] = 2, e[geosstructure] = geosvlir;
         }, "yyy"},
        {"a GEOS VLIR index block listing 1/3", [](disk &d) {
             uint8_t *e = direntry(d, 0, closed | usr, {3, 0});
             e[geosstructure] = geosvlir, e[geostype] = 6;
             d[sectoroffset({3, 0}) + 8] = 1, d[sectoroffset({3, 0}) + 9] = 3;
         }, "yyn"},
        {"a GEOS VLIR index block listing 1/3 in its last slot", [](disk &d) {
             uint8_t *e = direntry(d, 0, closed | usr, {3, 0});
             e[geosstructure] = geosvlir, e[geostype] = 6;
             d[sectoroffset({3, 0}) + 254] = 1, d[sectoroffset({3, 0}) + 255] = 3;
         }, "yyn"},
        {"the directory goes on at 2/0, where an entry starts a file at 1/2", [](disk &d) {
             pointat(d, {dirtrack, 1}, {2, 0});
             d[sectoroffset({2, 0}) + entrysize + filetype] = closed | prg;
             d[sectoroffset({2, 0}) + entrysize + firsttrack] = 1, d[sectoroffset({2, 0}) + entrysize + firstsector] = 2;
         }, "yny"},
        {"the directory goes on at 2/0 and off the disk, after an entry of 2/0 starts a file at 1/2", [](disk &d) {
             pointat(d, {dirtrack, 1}, {2, 0});
             pointat(d, {2, 0}, {36, 1});
             d[sectoroffset({2, 0}) + filetype] = closed | seq;
             d[sectoroffset({2, 0}) + firsttrack] = 1, d[sectoroffset({2, 0}) + firstsector] = 2;
         }, "yny"},
        {"the directory goes on through 1/3, the end of the file", [](disk &d) { pointat(d, {dirtrack, 1}, {1, 3}); },
         "yyn"},
        {"the directory goes on through the file from 1/1", [](disk &d) { pointat(d, {dirtrack, 1}, {1, 1}); }, "nnn"},
        {"a sequential GEOS file has no index block", [](disk &d) {
             uint8_t *e = direntry(d, 0, closed | prg, {3, 0});
             e[geostype] = 6;
             d[sectoroffset({3, 0}) + 8] = 1, d[sectoroffset({3, 0}) + 9] = 3;
         }, "yyy"},
        {"the directory chain loops", [](disk &d) {
             pointat(d, {dirtrack, 1}, {dirtrack, 4});
             pointat(d, {dirtrack, 4}, {dirtrack, 1});
             direntry(d, 1, closed | seq, {1, 2});
             direntry(d, 1, closed | prg, {1, 3}, 4);
         }, "ynn"},
        {"the chain runs into track 40", [](disk &d) { pointat(d, {1, 3}, {40, 0}); }, "nnn"},
        {"the chain runs one past the track", [](disk &d) { pointat(d, {1, 3}, {1, 21}); }, "nnn"},
        {"the chain runs one past the last track's sectors", [](disk &d) { pointat(d, {1, 3}, {35, 17}); }, "nnn"},
        {"the chain loops back to its start", [](disk &d) { pointat(d, {1, 3}, {1, 0}); }, "nnn"},
        // Sector bytes of 32 and up name nothing, however a shift by them would wrap onto 1/0 to 1/2.
        {"a sector in use links to 1/32", [](disk &d) { pointat(d, {2, 0}, {1, 32}); }, "yyy"},
        {"a sector in use links to 1/33", [](disk &d) { pointat(d, {2, 0}, {1, 33}); }, "yyy"},
        {"a sector in use links to 1/34", [](disk &d) { pointat(d, {2, 0}, {1, 34}); }, "yyy"},
        {"a sector in use links to 1/255", [](disk &d) { pointat(d, {2, 0}, {1, 255}); }, "yyy"},
        {"the chain passes through track 18", [](disk &d) {
             pointat(d, {1, 3}, {dirtrack, 9});
             pointat(d, {dirtrack, 9}, {0, 9});
         }, "yyy"},
    };
    for (const auto &c : cases) {
        disk d = fourchaindisk();
        c.edit(d);
        std::copy(d.begin(), d.end(), image);
        findpickable();
        std::string got;
        for (int32_t s = 0; s < 3; ++s)
            got += ispickable(1, s, getptr(1, s)) ? 'y' : 'n';
        EXPECT_EQ(got, c.pickable) << c.name;
        EXPECT_EQ(countpickable(), std::count(got.begin(), got.end(), 'y')) << c.name;
    }
}

TEST(Pickable, ADirectoryOffTrack18KeepsWhatItsEntriesNameInPlace) {
    // The drive finds the files of a directory moved to 19/5 as it finds them on track 18, so the
    // same sectors may move and the scatter is the same; only 18/1 and 19/5 hold other bytes.
    const disk on = storydisk(), off = offtrackdirectorydisk();
    const disk a = scrambled(on), b = scrambled(off);
    ASSERT_NE(a, on);
    for (place p : chainablesectors()) {
        if (p == place{19, 5})
            continue;
        EXPECT_TRUE(std::equal(a.begin() + static_cast<long>(sectoroffset(p)),
                               a.begin() + static_cast<long>(sectoroffset(p) + sectorsize),
                               b.begin() + static_cast<long>(sectoroffset(p))))
            << p.track << "/" << p.sector;
    }
    // Read as the drive reads it: the REL file's side sector lists its data sectors by number, and
    // each still holds the data it held.
    const uint8_t *entries = &b[sectoroffset({19, 5})];
    ASSERT_EQ(entries[2 * entrysize + filetype], closed | rel);
    place side{entries[2 * entrysize + sidetrack], entries[2 * entrysize + sidesector]};
    for (size_t pair = 16; pair < sectorsize; pair += 2) {
        place data{b[sectoroffset(side) + pair], b[sectoroffset(side) + pair + 1]};
        if (data.track == 0)
            continue;
        EXPECT_TRUE(std::equal(off.begin() + static_cast<long>(sectoroffset(data)),
                               off.begin() + static_cast<long>(sectoroffset(data) + sectorsize),
                               b.begin() + static_cast<long>(sectoroffset(data))))
            << data.track << "/" << data.sector;
    }
}

TEST(Pickable, LinksNameOnlySectorsInsideTheGeometry) {
    // The last sector of each zone and the one past it, the directory track, and track bytes past
    // the disk: a link one past its track's last sector must never count, least of all on track 35,
    // where it would lie past the end of the image.
    struct {
        place to;
        bool eligible;
    } cases[] = {{{1, 20}, true},  {{1, 21}, false},  {{17, 20}, true}, {{17, 21}, false}, {{19, 18}, true},
                 {{24, 19}, false}, {{25, 17}, true}, {{30, 18}, false}, {{31, 16}, true}, {{35, 16}, true},
                 {{35, 17}, false}, {{18, 0}, false}, {{0, 0}, false},   {{36, 0}, false},  {{255, 0}, false}};
    for (const auto &c : cases) {
        const uint8_t link[2] = {static_cast<uint8_t>(c.to.track), static_cast<uint8_t>(c.to.sector)};
        EXPECT_EQ(iseligible(link), c.eligible) << c.to.track << "/" << c.to.sector;
    }
}

}  // namespace
